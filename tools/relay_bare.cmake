# The bare fan-out relay: the physical reference of the relay benchmark and
# the peer of the load engine's test. Its source is shared beside the
# repository and never copied into it (QOR_RELAY_BARE_SRC names another one);
# without it the target is absent and the benchmark and the test skip.
set(QOR_RELAY_BARE_SRC "" CACHE FILEPATH "Source of the bare fan-out relay (empty: look beside the repository)")
set(_qor_relay "")
if(QOR_RELAY_BARE_SRC)
  set(_qor_relay ${QOR_RELAY_BARE_SRC})
else()
  foreach(_c ${CMAKE_SOURCE_DIR}/../shared/bench/relay_bare.cpp
             ${CMAKE_SOURCE_DIR}/../../shared/bench/relay_bare.cpp)
    if(EXISTS ${_c})
      set(_qor_relay ${_c})
      break()
    endif()
  endforeach()
endif()

if(_qor_relay AND EXISTS ${_qor_relay})
  add_executable(relay_bare ${_qor_relay})
  # Not our code: built as its header says, optimised and without the
  # sanitizers of the tree (it is a reference, not a subject).
  target_compile_options(relay_bare PRIVATE -O2 -w -Wno-error -fno-sanitize=all)
  target_link_options(relay_bare PRIVATE -fno-sanitize=all)
  set_target_properties(relay_bare PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
  if(TARGET tools_qor_load_engine_threads_test)
    target_compile_definitions(tools_qor_load_engine_threads_test
      PRIVATE QOR_RELAY_BARE_BIN="$<TARGET_FILE:relay_bare>")
    add_dependencies(tools_qor_load_engine_threads_test relay_bare)
  endif()
endif()

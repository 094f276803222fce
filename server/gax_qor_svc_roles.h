// Thread roles as capabilities: the heartbeat thread and the service thread
// each own a set of the service's fields (the tm... and tr... ones). Marking
// those fields GAX_GUARDED_BY(kHeartbeat) or GAX_GUARDED_BY(kServiceThread)
// and the functions that may touch them GAX_REQUIRES(...) lets clang's
// -Wthread-safety prove that no other code path reaches them. A thread body
// takes its role once, with TQORRoleScope, for its whole life; a test that
// drives a role's functions by hand does the same while no thread of that role
// runs. Roles cost nothing at run time.
#pragma once

#include "platform/plat_mutex.h"

namespace gax {

class GAX_CAPABILITY("role") TQORThreadRole {
  public:
    constexpr TQORThreadRole() = default;
    TQORThreadRole(const TQORThreadRole&) = delete;
    TQORThreadRole& operator=(const TQORThreadRole&) = delete;
    void Enter() GAX_ACQUIRE() {}
    void Leave() GAX_RELEASE() {}
};

class GAX_SCOPED_CAPABILITY TQORRoleScope {
  public:
    explicit TQORRoleScope(TQORThreadRole& aRole) GAX_ACQUIRE(aRole) : f_Role(aRole) {
        f_Role.Enter();
    }
    ~TQORRoleScope() GAX_RELEASE() { f_Role.Leave(); }
    TQORRoleScope(const TQORRoleScope&) = delete;
    TQORRoleScope& operator=(const TQORRoleScope&) = delete;

  private:
    TQORThreadRole& f_Role;
};

// One object per role for the whole process: a role is a kind of thread, and
// only one service runs at a time.
inline TQORThreadRole kHeartbeat;
inline TQORThreadRole kServiceThread;

}  // namespace gax

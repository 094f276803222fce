#include "foundation/gax_qor_classes.h"

namespace gax {

namespace {

// Words compare as unsigned numbers: a signed difference of the words would
// wrap, make the order cyclic and let a binary search miss a present key.
int32_t CompareKeys(std::string_view aKeyA, std::string_view aKeyB) noexcept {
    const size_t words = (aKeyA.size() < aKeyB.size() ? aKeyA.size() : aKeyB.size()) / 4;
    const char* a = aKeyA.data();
    const char* b = aKeyB.data();
    for (size_t i = 0; i < words; ++i, a += 4, b += 4) {
        const uint32_t wa = qor_classes_detail::WordAt(a);
        const uint32_t wb = qor_classes_detail::WordAt(b);
        if (wa != wb) return wa < wb ? -1 : 1;
    }
    if (aKeyA.size() == aKeyB.size()) return 0;
    return aKeyA.size() < aKeyB.size() ? -1 : 1;
}

}  // namespace

int32_t CompareKeysBinary(std::string_view aKeyA, std::string_view aKeyB) noexcept {
    return CompareKeys(aKeyA, aKeyB);
}

int32_t CompareKeysText(std::string_view aKeyA, std::string_view aKeyB) noexcept {
    return CompareKeys(aKeyA, aKeyB);
}

namespace qor_classes_detail {

void RaiseDuplicateString() {
    throw EGaxObjectDuplicateString("Duplicate string");
}
void RaiseDuplicateObject() {
    throw EGaxObjectDuplicateObject("Duplicate object");
}
void RaiseNotAllowedInTextMode() {
    throw Exception("Not allowed in text mode");
}

}  // namespace qor_classes_detail

}  // namespace gax

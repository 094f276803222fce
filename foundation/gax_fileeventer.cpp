#include "foundation/gax_fileeventer.h"

namespace gax {

// Only the fields an event names are overwritten; the rest keep what the previous
// event left, which handlers that only look at their own fields never notice.
void TFileEventer::Fire(TFileEventerEventType type, std::u16string_view s1) {
    f_Data.EventType = type;
    f_Data.Str1.assign(s1);
    f_OnFileEvent(*this, f_Data);
}

void TFileEventer::FireCount(TFileEventerEventType type, std::u16string_view s1, int32_t n) {
    f_Data.Int = n;
    Fire(type, s1);
}

void TFileEventer::EventFileOpen(std::u16string_view aFileName) {
    if (f_OnFileEvent) Fire(feet_FileOpen, aFileName);
}
void TFileEventer::EventFileClose(std::u16string_view aFileName) {
    if (f_OnFileEvent) Fire(feet_FileClose, aFileName);
}
void TFileEventer::EventRename(std::u16string_view aOldName, std::u16string_view aNewName) {
    if (!f_OnFileEvent) return;
    f_Data.Str2.assign(aNewName);
    Fire(feet_Rename, aOldName);
}
void TFileEventer::EventDirectoryCreate(std::u16string_view aDirName) {
    if (f_OnFileEvent) Fire(feet_DirectoryCreate, aDirName);
}
void TFileEventer::EventDirectoryDelete(std::u16string_view aDirName) {
    if (f_OnFileEvent) Fire(feet_DirectoryDelete, aDirName);
}
void TFileEventer::EventRead(std::u16string_view aFileName, int32_t aCount) {
    if (f_OnFileEvent) FireCount(feet_Read, aFileName, aCount);
}
void TFileEventer::EventWrite(std::u16string_view aFileName, int32_t aCount) {
    if (f_OnFileEvent) FireCount(feet_Write, aFileName, aCount);
}
void TFileEventer::EventAttrSet(std::u16string_view aName, int32_t aAttr) {
    if (f_OnFileEvent) FireCount(feet_AttrSet, aName, aAttr);
}
void TFileEventer::EventAttrGet(std::u16string_view aName) {
    if (f_OnFileEvent) Fire(feet_AttrGet, aName);
}
void TFileEventer::EventDateSet(std::u16string_view aName, double aDateTime) {
    if (!f_OnFileEvent) return;
    f_Data.DateTime = aDateTime;
    Fire(feet_DateSet, aName);
}
void TFileEventer::EventDateGet(std::u16string_view aName) {
    if (f_OnFileEvent) Fire(feet_DateGet, aName);
}
void TFileEventer::EventFileDelete(std::u16string_view aFileName) {
    if (f_OnFileEvent) Fire(feet_FileDelete, aFileName);
}
void TFileEventer::EventFileTruncate(std::u16string_view aFileName) {
    if (f_OnFileEvent) Fire(feet_FileTruncate, aFileName);
}
void TFileEventer::EventFlush(std::u16string_view aFileName) {
    if (f_OnFileEvent) Fire(feet_Flush, aFileName);
}

}  // namespace gax

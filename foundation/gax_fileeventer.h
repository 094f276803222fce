// The file eventer: an optional hook to which every file operation of one job
// reports itself before it acts, so a caller can watch, log or (in tests) fail
// file activity. An eventer belongs to the one thread that runs its job.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace gax {

enum TFileEventerEventType : uint8_t {
    feet_FileOpen,
    feet_FileClose,
    feet_Rename,
    feet_DirectoryCreate,
    feet_DirectoryDelete,
    feet_Read,
    feet_Write,
    feet_AttrGet,
    feet_AttrSet,
    feet_DateGet,
    feet_DateSet,
    feet_FileDelete,
    feet_FileTruncate,
    feet_Flush,
};

struct TFileEventerEventData {
    TFileEventerEventType EventType = feet_FileOpen;
    std::u16string Str1;  // the file or directory; the old name of a rename
    std::u16string Str2;  // the new name of a rename
    int32_t Int = 0;      // attributes set, or bytes of a read or write
    int64_t Int64 = 0;
    double DateTime = 0;  // days since 1899-12-30
};

class TFileEventer;
// The handler may throw: the exception leaves the operation before it acts.
using TFileEventHandler = std::function<void(TFileEventer& aSender, TFileEventerEventData& aData)>;

class TFileEventer {
  public:
    TFileEventer() = default;
    explicit TFileEventer(TFileEventHandler handler) : f_OnFileEvent(std::move(handler)) {}
    virtual ~TFileEventer() = default;
    TFileEventer(const TFileEventer&) = delete;
    TFileEventer& operator=(const TFileEventer&) = delete;

    const TFileEventHandler& OnFileEvent() const { return f_OnFileEvent; }
    void SetOnFileEvent(TFileEventHandler handler) { f_OnFileEvent = std::move(handler); }

    virtual void EventFileOpen(std::u16string_view aFileName);
    virtual void EventFileClose(std::u16string_view aFileName);
    virtual void EventRename(std::u16string_view aOldName, std::u16string_view aNewName);
    virtual void EventDirectoryCreate(std::u16string_view aDirName);
    virtual void EventDirectoryDelete(std::u16string_view aDirName);
    virtual void EventRead(std::u16string_view aFileName, int32_t aCount);
    virtual void EventWrite(std::u16string_view aFileName, int32_t aCount);
    virtual void EventAttrSet(std::u16string_view aName, int32_t aAttr);
    virtual void EventAttrGet(std::u16string_view aName);
    virtual void EventDateSet(std::u16string_view aName, double aDateTime);
    virtual void EventDateGet(std::u16string_view aName);
    virtual void EventFileDelete(std::u16string_view aFileName);
    virtual void EventFileTruncate(std::u16string_view aFileName);
    virtual void EventFlush(std::u16string_view aFileName);

  private:
    void Fire(TFileEventerEventType type, std::u16string_view s1);
    // The same for the reports that carry a number (a byte count, attributes).
    void FireCount(TFileEventerEventType type, std::u16string_view s1, int32_t n);

    TFileEventHandler f_OnFileEvent;
    TFileEventerEventData f_Data;
};

}  // namespace gax

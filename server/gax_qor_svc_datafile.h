// The conventions every list data file shares ("mutes.dat", "blocks.dat",
// "admins.dat", "rights.dat", "notices.dat", "modes.dat", "owner.dat"): the
// 68-byte header, the line grammar (numbered lines, byte-order mark, comments,
// "|" fields), the field encodings (network names, client ids, hex texts,
// client types, register times), the one writer that replaces a file in a
// single move, and the rule that a file which failed to read is never saved
// over. Also the owning per-network list that the mutes, blocks, admins and
// rights modules keep their entries in (by key and by register time).
//
// Threads: the readers, the writer and the save guard run on the service
// thread; a list belongs to one thread at a time (the service thread while it
// reads, the heartbeat thread once handed over). Nothing here locks.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/gax_qor_classes.h"
#include "foundation/gax_types.h"
#include "protocol/gax_qor_consts.h"

namespace gax {

GAX_DECLARE_EXCEPTION(EQORSVCDataFileError, Exception);

// Written at the top of every list file; the readers take it as comments.
inline constexpr std::string_view kQORSVCDataFileHeader =
    "\xEF\xBB\xBF# This file was created automatically.\r\n# DO NOT EDIT !!!!\r\n#\r\n\r\n";
static_assert(kQORSVCDataFileHeader.size() == 68);

// The longest line a list reader takes. The writer's longest line stays under
// 4.2 KB (a mute of a client whose every field is CJK), so half of this is
// already slack; a longer line voids the read instead of being cut, because a
// cut line would be dropped and then saved away.
inline constexpr size_t kQORSVCListLineLimit = 8192;
// The modes file has only names and digits; its cap only bounds the memory a
// damaged file can take.
inline constexpr size_t kQORSVCModesLineLimit = 65536;

// "Collector got too long string": the text of a line over the limit.
std::u16string QORSVCTooLongLineText();

// The lines of a list file, read whole and handed out one by one: LF ends a
// line and one CR before it is dropped; on line 1 a byte-order mark is
// skipped; leading bytes below 33 are skipped; empty lines and comments ("#",
// and ";" where asked) are passed over. Opening or reading the file raises
// the file layer's exception (a missing file is EFileExceptionOpenError).
class TQORSVCListFileLines {
  public:
    TQORSVCListFileLines(std::u16string_view aFileName, size_t aLineLimit,
                         bool aSemicolonComments);
    // Over raw bytes (the fuzz targets and tests).
    TQORSVCListFileLines(std::string aBytes, size_t aLineLimit, bool aSemicolonComments);

    // The next line to parse with its number (from 1); false at the end.
    // A line longer than the limit raises "line %d: Collector got too long
    // string", or, after CutLongLines, is cut to its first limit bytes.
    bool Next(int32_t& aLineNo, std::string_view& aLine);
    // A reread keeps the rest of a file that holds one overlong line: the
    // line is cut (and then usually dropped by its parser, with the rewrite
    // flag) instead of voiding the read.
    void CutLongLines() { f_Cut = true; }
    // Line 1 began with the byte-order mark (only known after the first Next).
    bool HadBom() const { return f_HadBom; }
    // The file holds something but does not begin with the byte-order mark.
    bool BomMissing() const;

  private:
    std::string f_Data;
    size_t f_Pos = 0;
    int32_t f_LineNo = 0;
    size_t f_Limit;
    bool f_Semicolon;
    bool f_Cut = false;
    bool f_HadBom = false;
};

// Raises EQORSVCDataFileError "line %d: %s" with the message of the exception
// being handled. REQUIRES: called inside a catch block of a gax::Exception.
[[noreturn]] void QORSVCRaiseLineError(int32_t aLineNo, const Exception& aError);

// ---- field routines

// Splits at "|" into at most aMaxFields fields (the rest of the line is not
// looked at); a line ending in "|" has one more, empty, field. Returns the
// count, or -2 when a byte below 32 other than TAB stands in the line.
int32_t SplitFieldsBuf(std::string_view aLine, std::string_view* aFields, int32_t aMaxFields);
// The field trimmed (bytes up to 32 at both ends) and hex-decoded into aOut;
// blanks between digits are allowed. Returns the byte count, or -1 (aOut
// emptied) for another character or an odd number of digits.
int32_t DecodeHexField(std::string& aOut, std::string_view aField);
// A hex text that is stored: decoded as above, then every byte below 32
// becomes a blank so that no stored text can break a client's line framing.
int32_t DecodeHexTextField(std::string& aOut, std::string_view aField);
// aType := clt_PC; a trimmed decimal 0..2 sets it and is returned, else -1.
int32_t ParseClientTypeField(TQORClientType& aType, std::string_view aField);
// The register time: "u" + decimal Unix seconds; exactly 17 digits are the
// old local form YYYYMMDDHHNNSSZZZ (taken with the standard-time bias, with
// aRewrite); an empty field is 0 silently; anything else, a negative value or
// bad digits give 0 with aRewrite; with aZeroIsBad also "u0".
int64_t ParseRegisterTimeField(std::string_view aField, bool aZeroIsBad, bool& aRewrite);
// The "u" field text of a register time, empty for 0 and below.
std::string RegisterTimeFieldText(int64_t aEpoch);
// A network name field: non-empty after trimming and valid UTF-8. aName gets
// the trimmed bytes.
bool ParseNetworkNameField(std::string_view aField, std::string& aName);
// A client id field: 22 or 24 characters after trimming that pass the id
// normalisation; a normalised id sets aRewrite.
bool ParseClientIdField(std::string_view aField, std::string& aId, bool& aRewrite);
// Every byte below 32 becomes a blank.
void ControlBytesToBlanks(std::string& aText);
// The text padded with zero bytes to a multiple of 4 (empty stays empty).
std::string MakeDwordPaddedKey(std::string_view aText);
// Item builders of the client list formats: a tag element "<XX>value</XX>",
// and a typed field (type byte, hex length, bytes; an empty value still gives
// the type byte and "00").
void AppendTagItem(std::string& aOut, std::string_view aTag, std::string_view aValue);
void AppendTypedFieldItem(std::string& aOut, char aType, std::string_view aValue);
// Hex text of a field: two upper-case digits per byte.
void AppendHexField(std::string& aOut, std::string_view aBytes);
// A decimal digit 0..9 as one character.
inline char DigitChar(int32_t aValue) {
    return static_cast<char>('0' + aValue);
}

// ---- networks as the readers see them

// What a reader needs of the networks list: the look-up of a name (letter
// case ignored, the networks list's own rule) and each network's UTF-8 name.
// REQUIRES: used on the thread that owns the networks list at that moment.
class TQORSVCNetworkNames {
  public:
    virtual ~TQORSVCNetworkNames() = default;
    virtual int32_t NetworkCount() const = 0;
    // The network's index (its place in the networks file), or -1.
    virtual int32_t FindNetworkIndex(std::u16string_view aName) const = 0;
    virtual std::string NetworkNameUTF8(int32_t aIndex) const = 0;
};

// A fixed list of names, matched with ASCII letter case ignored.
class TQORSVCNetworkNameList final : public TQORSVCNetworkNames {
  public:
    explicit TQORSVCNetworkNameList(std::vector<std::u16string> aNames)
        : f_Names(std::move(aNames)) {}
    int32_t NetworkCount() const override { return static_cast<int32_t>(f_Names.size()); }
    int32_t FindNetworkIndex(std::u16string_view aName) const override;
    std::string NetworkNameUTF8(int32_t aIndex) const override;

  private:
    std::vector<std::u16string> f_Names;
};

// ---- writing

// Replaces aFileName with the header and the lines (each already ends with
// CR LF; empty ones are skipped) in one transaction of the file mover staged
// under aDataDir: the staged file is fsynced, renamed over the target
// atomically and the directory synced; an existing file keeps its mode, a new
// one is made 0640. Anything failing before the rename leaves the target as it
// was; the exception goes to the caller. Both paths must be absolute.
void WriteDataFile(std::u16string_view aFileName, std::u16string_view aDataDir,
                   const std::vector<std::string>& aLines);

// ---- the save guard of one list file

// Whether a list file may be written. A file that exists but could not be read
// is never saved over until a read of it succeeds (its content would be lost
// for an empty or partial list); a missing file is an empty list and the first
// save creates it. While the server runs on its built-in test networks nothing
// is saved at all (every record belongs to an unknown network there).
// Owned by the service thread.
class TQORSVCDataFileGuard {
  public:
    // After a failed read of the configured file: true when the file is there
    // (so it now blocks saves); a missing file blocks nothing, and lifts a
    // hold left by an earlier failure.
    bool NoteReadFailure(std::u16string_view aFileName);
    void NoteReadSuccess() { f_Blocked = false; }
    void SetTestNetworks(bool aOn) { f_TestNetworks = aOn; }
    bool MaySave() const { return !f_Blocked && !f_TestNetworks; }
    bool Blocked() const { return f_Blocked; }

  private:
    bool f_Blocked = false;
    bool f_TestNetworks = false;
};

// ---- the per-network list of entries

// One accepted line of a list file: the network's name and the list's data.
template <class D>
struct TQORSVCListRecord {
    std::u16string NetworkNameUCS2;
    D Data;
};

// What a merge of a list read from a file into a network's list did, by key:
// the network turns these into mutes, unmutes, disconnects and role changes.
struct TQORSVCListMergeOutcome {
    std::vector<std::string> Added;
    std::vector<std::string> Removed;
    std::vector<std::string> Changed;      // data taken over (RereadCompareAttr)
    std::vector<std::string> MarkChanged;  // rights: the mark flipped
    bool Any() const {
        return !Added.empty() || !Removed.empty() || !Changed.empty() || !MarkChanged.empty();
    }
};

// One network's entries of one list, owned here, by key and by register time.
// Entry provides: `using Data`, `Entry(std::string aNetworkNameUTF8)`,
// `const std::string& Key() const`, `int64_t RegisterEpoch() const`,
// `void SetFromData(const Data&)`, `const Data& GetData() const`,
// `std::string RecordForFile() const`, `static std::string KeyOf(const Data&)`
// and `static int64_t EpochOf(const Data&)`.
// Both lists hold the same entries once a routine has returned (a merge leaves
// the time list to RebuildTimeList).
template <class Entry>
class TQORSVCEntryList {
  public:
    using Data = typename Entry::Data;

    explicit TQORSVCEntryList(std::string aNetworkNameUTF8)
        : f_NetworkNameUTF8(std::move(aNetworkNameUTF8)) {}
    ~TQORSVCEntryList() { f_ByKey.FreeObjects(); }
    TQORSVCEntryList(const TQORSVCEntryList&) = delete;
    TQORSVCEntryList& operator=(const TQORSVCEntryList&) = delete;

    const std::string& NetworkNameUTF8() const { return f_NetworkNameUTF8; }
    int32_t Count() const { return f_ByKey.Count(); }
    bool Empty() const { return Count() == 0; }
    Entry* At(int32_t i) const { return f_ByKey.GetObject(i); }
    const std::string& KeyAt(int32_t i) const { return f_ByKey.Get(i); }
    int32_t TimeCount() const { return f_ByTime.Count(); }
    // The allocated slots of the two indexes (the memory report).
    int32_t KeyCapacity() const { return f_ByKey.Capacity(); }
    int32_t TimeCapacity() const { return f_ByTime.Capacity(); }
    Entry* ByTimeAt(int32_t i) const { return f_ByTime.GetObject(i); }
    Entry* Find(std::string_view aKey) const { return f_ByKey.FindObjectObj(aKey); }
    int32_t IndexOf(std::string_view aKey) const { return f_ByKey.FindExact(aKey); }

    // A held entry is kept when its register time is the same or later;
    // otherwise it takes aData (and its new place in the time list). A new key
    // is inserted. True when something changed.
    bool AddOrUpdateFromData(const Data& aData, bool aWithTime = true) {
        const std::string key = Entry::KeyOf(aData);
        int32_t i;
        if (f_ByKey.Find(key, i)) {
            Entry* e = f_ByKey.GetObject(i);
            if (e->RegisterEpoch() >= Entry::EpochOf(aData)) return false;
            e->SetFromData(aData);
            if (aWithTime) f_ByTime.ReInsertObjectTime(e->RegisterEpoch(), e);
            return true;
        }
        auto e = std::make_unique<Entry>(f_NetworkNameUTF8);
        e->SetFromData(aData);
        f_ByKey.InsertItem(i, key, e.get());
        if (aWithTime) f_ByTime.AddObject(e->RegisterEpoch(), e.get());
        e.release();
        return true;
    }
    // Removes and frees the entry at aIndex (from both lists).
    void RemoveAt(int32_t aIndex) {
        Entry* e = f_ByKey.GetObject(aIndex);
        const int32_t t = f_ByTime.IndexOfObject(e);
        if (t >= 0) f_ByTime.Delete(t);
        f_ByKey.Delete(aIndex);
        delete e;
    }
    bool RemoveKey(std::string_view aKey) {
        const int32_t i = IndexOf(aKey);
        if (i < 0) return false;
        RemoveAt(i);
        return true;
    }
    // Empties the time list and adds every entry under its register time,
    // walking the by-key list from the last entry to the first or the other way.
    void RebuildTimeList(bool aLastToFirst) {
        f_ByTime.Clear();
        const int32_t n = Count();
        for (int32_t k = 0; k < n; ++k) {
            Entry* e = At(aLastToFirst ? n - 1 - k : k);
            f_ByTime.AddObject(e->RegisterEpoch(), e);
        }
    }
    // The prepared file lines, in key order (the save snapshot).
    void AppendFileLines(std::vector<std::string>& aLines) const {
        for (int32_t i = 0; i < Count(); ++i) aLines.push_back(At(i)->RecordForFile());
    }

  private:
    std::string f_NetworkNameUTF8;
    TQORSortedAnsiStringList<Entry> f_ByKey{false};
    TQORSortedInt64NotUniqList<Entry> f_ByTime{64};
};

// The records a reader returned, sorted into one read list per network (by
// the network's index). A record of an unknown network is dropped with
// aRewrite; of two records for one key the later register time stays (the
// last line on a tie) and aRewrite is set. The same
// rule serves the start-up read (each record offered to an empty network
// list) and a reread (the per-network lists handed to the heartbeat).
template <class Entry, class Record>
std::vector<std::unique_ptr<TQORSVCEntryList<Entry>>> DistributeRecords(
    const std::vector<Record>& aRecords, const TQORSVCNetworkNames& aNetworks, bool& aRewrite) {
    std::vector<std::unique_ptr<TQORSVCEntryList<Entry>>> lists(
        static_cast<size_t>(aNetworks.NetworkCount()));
    // In file order: a file the writer made is sorted by key, so every new
    // entry goes to the end of its list (walking it backwards would insert
    // each one at the front, quadratic in the list's length).
    for (const Record& rec : aRecords) {
        const int32_t n = aNetworks.FindNetworkIndex(rec.NetworkNameUCS2);
        if (n < 0) {
            aRewrite = true;
            continue;
        }
        auto& list = lists[static_cast<size_t>(n)];
        if (!list) list = std::make_unique<TQORSVCEntryList<Entry>>(aNetworks.NetworkNameUTF8(n));
        // Two lines for one key: the later register time stays (the later
        // line on a tie), and the file is saved again with one line.
        if (Entry* held = list->Find(Entry::KeyOf(rec.Data))) {
            aRewrite = true;
            if (Entry::EpochOf(rec.Data) >= held->RegisterEpoch()) held->SetFromData(rec.Data);
            continue;
        }
        list->AddOrUpdateFromData(rec.Data, false);
    }
    for (auto& l : lists)
        if (l) l->RebuildTimeList(true);
    return lists;
}

// The save snapshot of one list over all networks (index 0 upwards).
template <class Entry>
std::vector<std::string> MakeListSnapshot(
    const std::vector<std::unique_ptr<TQORSVCEntryList<Entry>>>& aLists) {
    std::vector<std::string> lines;
    for (const auto& l : aLists)
        if (l) l->AppendFileLines(lines);
    return lines;
}

}  // namespace gax

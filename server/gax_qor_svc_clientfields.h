// The client fields that the admins, rights and mutes/blocks entries all carry
// (country, city, band, callsign, each in 8-bit and UTF-8 form, and the
// client type): their items in both client list formats, their run of file
// fields, their reading from a file line and their comparison; and what the
// three lists do alike: the line loop of the file readers and the merge of a
// reread list. Each record keeps its own field names; a
// TQORSVCClientFieldMembers table names them once per record type.
//
// Threads: no state of its own; the caller owns the record or list it passes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/gax_qor_consts.h"
#include "server/gax_qor_svc_datafile.h"

namespace gax {

constexpr int kQORSVCClientTextCount = 4;  // country, city, band, callsign

// Read-only view of one record's client fields, always in the order country,
// city/city part, band/channel, callsign/op name.
struct TQORSVCClientTexts {
    const std::string* ANSI[kQORSVCClientTextCount];
    const std::string* UTF8[kQORSVCClientTextCount];
    TQORClientType ClientType;
};

// The same fields to be filled by a reader.
struct TQORSVCClientTextSlots {
    std::string* ANSI[kQORSVCClientTextCount];
    std::string* UTF8[kQORSVCClientTextCount];
    TQORClientType* ClientType;
};

// Where a record type keeps its client fields.
template <class D>
struct TQORSVCClientFieldMembers {
    std::string D::*ANSI[kQORSVCClientTextCount];
    std::string D::*UTF8[kQORSVCClientTextCount];
    TQORClientType D::*ClientType;

    TQORSVCClientTexts Texts(const D& aData) const {
        TQORSVCClientTexts t{};
        for (int k = 0; k < kQORSVCClientTextCount; ++k) {
            t.ANSI[k] = &(aData.*ANSI[k]);
            t.UTF8[k] = &(aData.*UTF8[k]);
        }
        t.ClientType = aData.*ClientType;
        return t;
    }
    TQORSVCClientTextSlots Slots(D& aData) const {
        TQORSVCClientTextSlots s{};
        for (int k = 0; k < kQORSVCClientTextCount; ++k) {
            s.ANSI[k] = &(aData.*ANSI[k]);
            s.UTF8[k] = &(aData.*UTF8[k]);
        }
        s.ClientType = &(aData.*ClientType);
        return s;
    }
};

// Old list format: "NN", "CT", "BC", then "CM" (the client type) when
// aWithClientType, then "ON", all from the 8-bit texts.
void AppendClientTagItemsV0(std::string& aOut, const TQORSVCClientTexts& aTexts,
                            bool aWithClientType);
// New list format: typed items '5', '6', '3', '2' from the UTF-8 texts when
// aUTF8, else from the 8-bit ones.
void AppendClientTypedItemsV1(std::string& aOut, const TQORSVCClientTexts& aTexts, bool aUTF8);

// File line pieces: "|" + hex of each 8-bit text, "|" + client type digit,
// "|" + register time field; and "|" + hex of each UTF-8 text.
void AppendClientAnsiFileFields(std::string& aLine, const TQORSVCClientTexts& aTexts,
                                int64_t aRegisterEpoch);
void AppendClientUtf8FileFields(std::string& aLine, const TQORSVCClientTexts& aTexts);

// aFields[0..3] the 8-bit texts, aFields[4] the client type. False on a bad
// field (the line is rejected).
bool ReadClientAnsiFileFields(const std::string_view* aFields,
                              const TQORSVCClientTextSlots& aSlots);
// aFields[0..3] the UTF-8 texts. aAnyText: one is not empty; aAllValid: every
// one is valid UTF-8. False on a bad field (the line is rejected).
bool ReadClientUtf8FileFields(const std::string_view* aFields, const TQORSVCClientTextSlots& aSlots,
                              bool& aAnyText, bool& aAllValid);
void ClearClientUtf8Texts(const TQORSVCClientTextSlots& aSlots);

// The lines of a list file, each given to aParseLine(line, record, aRewrite):
// a rejected line (false) sets aRewrite; an error raised inside a line comes
// out as "line %d: %s". With aBomRequired a file without the byte-order mark
// sets aRewrite too. The accepted records in file order.
template <class Record, class ParseLine>
std::vector<Record> ReadListFileRecords(TQORSVCListFileLines& aLines, bool aBomRequired,
                                        bool& aRewrite, ParseLine aParseLine) {
    std::vector<Record> out;
    int32_t no;
    std::string_view line;
    while (aLines.Next(no, line)) {
        try {
            Record rec;
            if (aParseLine(line, rec, aRewrite))
                out.push_back(std::move(rec));
            else
                aRewrite = true;
        } catch (const Exception& e) {
            QORSVCRaiseLineError(no, e);
        }
    }
    if (aBomRequired && aLines.BomMissing()) aRewrite = true;
    return out;
}

// The eight texts and the client type equal.
bool SameClientFields(const TQORSVCClientTexts& aA, const TQORSVCClientTexts& aB);

// Brings a network's list in line with the list read from the file (both
// sorted by key): keys only read are added, keys only held are removed, and
// for a key in both aOnKept(held entry, read data) decides what is taken over
// and reports it (true when something changed). The reported key is the field
// aId of the data. The time list is rebuilt when anything changed.
template <class Entry, class OnKept>
bool MergeClientFieldsList(TQORSVCEntryList<Entry>& aList, const TQORSVCEntryList<Entry>& aRead,
                           std::string Entry::Data::*aId, bool aLastToFirst,
                           TQORSVCListMergeOutcome& aOutcome, OnKept aOnKept) {
    using Data = typename Entry::Data;
    bool changed = false;
    int32_t i = 0;
    auto add = [&](const Data& d) {
        if (aList.AddOrUpdateFromData(d, false)) aOutcome.Added.push_back(d.*aId);
        changed = true;
        ++i;
    };
    auto remove = [&] {
        aOutcome.Removed.push_back(aList.At(i)->GetData().*aId);
        aList.RemoveAt(i);
        changed = true;
    };
    while (i < aRead.Count() && i < aList.Count()) {
        const int32_t c = CompareKeysBinary(aRead.KeyAt(i), aList.KeyAt(i));
        if (c < 0) {
            add(aRead.At(i)->GetData());
        } else if (c == 0) {
            if (aOnKept(*aList.At(i), aRead.At(i)->GetData())) changed = true;
            ++i;
        } else {
            remove();
        }
    }
    while (i < aList.Count() && i >= aRead.Count()) remove();
    while (i < aRead.Count()) add(aRead.At(i)->GetData());
    if (changed) aList.RebuildTimeList(aLastToFirst);
    return changed;
}

// The common aOnKept step: with aRereadCompareAttr a held entry whose data
// differ (by its own equality test) takes the read data, reported as changed.
template <class Entry>
bool TakeOverChangedData(Entry& aHeld, const typename Entry::Data& aRead,
                         bool (Entry::*aIsEqual)(const typename Entry::Data&) const,
                         std::string Entry::Data::*aId, bool aRereadCompareAttr,
                         TQORSVCListMergeOutcome& aOutcome) {
    if (!aRereadCompareAttr || (aHeld.*aIsEqual)(aRead)) return false;
    aHeld.SetFromData(aRead);
    aOutcome.Changed.push_back(aRead.*aId);
    return true;
}

}  // namespace gax

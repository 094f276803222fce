// Shared by the list-file fuzz targets: a networks list that takes every name
// it is asked for (so that fuzzed records reach the writer), and the round
// trip every reader must pass: what the writer makes of the accepted lines
// reads back as exactly itself, with no rewrite asked.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "foundation/gax_ansi_unicode_converter.h"
#include "foundation/gax_strutils.h"
#include "server/gax_qor_svc_datafile.h"

namespace list_fuzz {

inline void Check(bool ok) {
    if (!ok) std::abort();
}

// Every name is a network; the first spelling seen is the network's own.
class AnyNetworks final : public gax::TQORSVCNetworkNames {
  public:
    int32_t NetworkCount() const override { return static_cast<int32_t>(f_Names.size()); }
    int32_t FindNetworkIndex(std::u16string_view aName) const override {
        for (size_t i = 0; i < f_Names.size(); ++i)
            if (gax::SameTextAsciiW(f_Names[i], aName)) return static_cast<int32_t>(i);
        f_Names.emplace_back(aName);
        return static_cast<int32_t>(f_Names.size() - 1);
    }
    std::string NetworkNameUTF8(int32_t aIndex) const override {
        return gax::UnicodeToUtf8Str(f_Names.at(static_cast<size_t>(aIndex)));
    }
    // Registers every name before the per-network vectors are sized.
    template <class Records>
    void Learn(const Records& aRecords) const {
        for (const auto& r : aRecords) FindNetworkIndex(r.NetworkNameUCS2);
    }

  private:
    mutable std::vector<std::u16string> f_Names;
};

inline std::string FileOf(const std::vector<std::string>& aLines) {
    std::string s(gax::kQORSVCDataFileHeader);
    for (const std::string& l : aLines) s += l;
    return s;
}

// The one exception a reader of bytes may raise: a line over the limit.
inline void CheckLineError(const gax::Exception& e) {
    const std::u16string& m = e.Message();
    Check(m.rfind(u"line ", 0) == 0 &&
          m.find(u": Collector got too long string") != std::u16string::npos);
}

// The whole check of a list reader over fuzzed bytes: aParse(bytes, rewrite)
// reads a file of Entry records. Only the line-limit error may escape it; the
// lists built from its records are consistent and their snapshot reads back
// as exactly itself without a rewrite.
template <class Entry, class Parse>
int CheckListReader(const uint8_t* data, size_t size, Parse aParse) {
    if (size > 1 << 20) return 0;
    bool rewrite = false;
    decltype(aParse(std::string(), rewrite)) recs;
    try {
        recs = aParse(std::string(reinterpret_cast<const char*>(data), size), rewrite);
    } catch (const gax::Exception& e) {
        CheckLineError(e);
        return 0;
    }
    AnyNetworks nets;
    nets.Learn(recs);
    auto lists = gax::DistributeRecords<Entry>(recs, nets, rewrite);
    const std::vector<std::string> lines = gax::MakeListSnapshot(lists);
    for (const auto& l : lists)
        if (l) Check(l->Count() == l->TimeCount());
    for (const std::string& l : lines) Check(l.size() <= gax::kQORSVCListLineLimit);

    bool again = false;
    auto back = aParse(FileOf(lines), again);
    Check(!again && back.size() == lines.size());
    AnyNetworks nets2;
    nets2.Learn(back);
    auto lists2 = gax::DistributeRecords<Entry>(back, nets2, again);
    Check(!again && gax::MakeListSnapshot(lists2) == lines);
    return 0;
}

}  // namespace list_fuzz

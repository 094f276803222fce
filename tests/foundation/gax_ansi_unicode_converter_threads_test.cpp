#include "foundation/gax_ansi_unicode_converter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

using namespace gax;

// Network converters are shared by every client of the networks that use the
// set, and clients join on different threads.
TEST(ConverterThreads, SharedConvertersGiveCorrectResultsOnEightThreads) {
    const auto list = CreateCharsetsCodeList();
    struct Shared {
        const char16_t* name;
        std::u16string text;
        std::string bytes;
        TAnsiUnicodeConverter conv;
    };
    Shared sets[] = {
        {u"WINDOWS-1251",
         u"\u041f\u0440\u0438\u0432\u0435\u0442 \u4e2d",
         "\xcf\xf0\xe8\xe2\xe5\xf2 ?",
         {}},
        {u"KOI8-R", u"\u041f\u0440\u0438\u0432\u0435\u0442", "\xf0\xd2\xc9\xd7\xc5\xd4", {}},
        {u"UTF-8",
         u"\u041f\u0440\u0438\u0432\u0435\u0442",
         "\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82",
         {}},
        {u"SHIFT_JIS", u"a\u3053\u3093\U0001F600", "a\x82\xb1\x82\xf1?", {}},
        {u"", u"\u20ac\u00e9", "\x80\xe9", {}},  // no name: the default 8-bit set
    };
    for (auto& s : sets) {
        s.conv.SetCharsetsCodeList(list.get());
        if (*s.name) s.conv.SetCharsetName(s.name);
    }

    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            // a converter of the thread's own, selected while others convert
            TAnsiUnicodeConverter own;
            own.SetCharsetsCodeList(list.get());
            own.SetCharsetName(t % 2 ? u"iso-8859-5" : u"windows-1250");
            for (int i = 0; i < 300; ++i) {
                for (auto& s : sets) {
                    if (s.conv.UnicodeToAnsi(s.text) != s.bytes) ++failures;
                    if (s.bytes.find('?') == std::string::npos &&
                        s.conv.AnsiToUnicode(s.bytes) != s.text)
                        ++failures;
                }
                if (own.AnsiToUnicode(own.UnicodeToAnsi(u"abc")) != u"abc") ++failures;
                if (UnicodeToSysAnsiStr(u"\u20ac") != "\x80") ++failures;
                if (UnicodeToOemStr(u"ok") != "ok") ++failures;
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures.load(), 0);
}

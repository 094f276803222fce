// Conversions done for every joining client: its connect-string texts are
// decoded with the network's set and the notices encoded back.
#include <benchmark/benchmark.h>

#include "foundation/gax_ansi_unicode_converter.h"

using namespace gax;

namespace {

const TCharsetsCodeList& List() {
    static const auto list = CreateCharsetsCodeList();
    return *list;
}

void Converter(benchmark::State& state, const char16_t* charset) {
    TAnsiUnicodeConverter c;
    c.SetCharsetsCodeList(&List());
    c.SetCharsetName(charset);
    const std::u16string text = u"R2ABC \u041f\u0440\u0438\u0432\u0435\u0442, Moscow KO85 145.500";
    const std::string bytes = c.UnicodeToAnsi(text);
    for (auto _ : state) {
        benchmark::DoNotOptimize(c.AnsiToUnicode(bytes));
        benchmark::DoNotOptimize(c.UnicodeToAnsi(text));
    }
}

}  // namespace

BENCHMARK_CAPTURE(Converter, SingleByteTable, u"WINDOWS-1251");
BENCHMARK_CAPTURE(Converter, Utf8, u"UTF-8");
BENCHMARK_CAPTURE(Converter, MultiByteIconv, u"GB18030");

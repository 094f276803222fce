// A log line assembled in a builder its owner keeps: after the first line the
// builder must not allocate. Also the decimal parser on a protocol field.
#include <benchmark/benchmark.h>

#include <string>

#include "foundation/gax_stringbld.h"
#include "foundation/gax_strutils.h"

namespace {

void BM_KeptBuilderLogLine(benchmark::State& state) {
    gax::TStringBldU b;
    const std::string clientData = "TM:hello\r\nworld\\";
    int32_t n = 0;
    for (auto _ : state) {
        b.Len = 0;
        gax::AppendStr(b, u"Client: 192.168.100.200:50123");
        gax::AppendColonSpace(b);
        gax::AppendInt(b, ++n);
        gax::AppendSpaceStr(b, u"text");
        gax::AppendEscapedStr(b, clientData);
        benchmark::DoNotOptimize(b.Text.data());
    }
}
BENCHMARK(BM_KeptBuilderLogLine);

void BM_TryParseIntBufA(benchmark::State& state) {
    const char field[] = "  -2147483647";
    int32_t v = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(gax::TryParseIntBufA(field, sizeof field - 1, v));
        benchmark::DoNotOptimize(v);
    }
}
BENCHMARK(BM_TryParseIntBufA);

}  // namespace

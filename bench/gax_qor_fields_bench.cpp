// Cost of the codecs on every protocol path: parsing a connect string's tag
// list, parsing typed fields, and building a list record into a reused
// FastStringA (which allocates nothing once it has grown).
#include "protocol/gax_qor_fields.h"

#include <benchmark/benchmark.h>

#include <string>

using namespace gax;

static void BM_ParseConnectString(benchmark::State& state) {
    std::string cs =
        "<VX>2014003</VX><EA>someone@example.org</EA><PW>secret</PW><ON>N0CALL Operator</ON>"
        "<BC>145.500 FM</BC><DS>A description with <b>markup</b> inside</DS><NN>TEST</NN>"
        "<CT>City</CT><NT>Country</NT><CEF>00000A8B</CEF>";
    TQORTagItemRec items[64];
    for (auto _ : state) {
        TQORTagParseRec r;
        r.Items = items;
        r.Capacity = 64;
        r.Data = cs.data();
        r.DataLen = int32_t(cs.size());
        r.Flags = QOR_TAGPARSE_CTRL_ERROR | QOR_TAGPARSE_NO_DUPLICATES;
        benchmark::DoNotOptimize(ParseTagList(r));
    }
    state.SetBytesProcessed(state.iterations() * int64_t(cs.size()));
}
BENCHMARK(BM_ParseConnectString);

static void BM_ParseTypedFields(benchmark::State& state) {
    std::string data;
    for (char t : std::string("0123456789ABCDE")) data += TypedFieldStr(t, "value of field");
    TQORTypedFieldRec items[16];
    for (auto _ : state) {
        TQORTypedFieldParseRec r;
        r.Items = items;
        r.MaxItems = 16;
        r.Data = data.data();
        r.DataLen = int32_t(data.size());
        benchmark::DoNotOptimize(ParseTypedFields(r));
    }
    state.SetBytesProcessed(state.iterations() * int64_t(data.size()));
}
BENCHMARK(BM_ParseTypedFields);

static void BM_BuildListRecord(benchmark::State& state) {
    FastStringA f(128);
    for (auto _ : state) {
        f.Clear();
        for (int i = 0; i < 32; ++i) {
            FastStrAddHexLenStr(f, "kAFQmDzST7DWlj99KOF/cg/9");
            FastStrAddHexLenStr(f, "N0CALL Operator");
            FastStrAddTag2(f, "NN", "TEST");
            FastStrAddIntLn(f, i);
        }
        benchmark::DoNotOptimize(f.Data());
    }
}
BENCHMARK(BM_BuildListRecord);

// row_text_bench.cpp: the JSON text of cached rows, alone: rows shaped like
// the table_load folder (binary key, instance key, subjects of 12..400
// characters, two more strings, two numbers, a time) written into a reused
// buffer, beside a plain copy of the same number of bytes.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "client/row_text.h"
#include "mapi/mapitags.h"
#include "table/zuv_row.h"

namespace {

constexpr size_t kRows = 20000;

struct Fixture {
  std::vector<ZUV_RowRef> rows;
  std::map<ULONG, std::string> names;
  size_t text_bytes = 0;
};

const Fixture& Rows() {
  static const Fixture fixture = [] {
    Fixture f;
    f.names = {{kRowKeyTag, "PR_LONGTERM_ENTRYID_FROM_TABLE"},
               {kInstanceKeyTag, "PR_INSTANCE_KEY"},
               {PR_SUBJECT_A, "PR_SUBJECT"},
               {PR_SENDER_NAME_A, "PR_SENDER_NAME"},
               {PR_SENDER_EMAIL_ADDRESS_A, "PR_SENDER_EMAIL_ADDRESS"},
               {PR_IMPORTANCE, "PR_IMPORTANCE"},
               {PR_MESSAGE_FLAGS, "PR_MESSAGE_FLAGS"},
               {PR_CLIENT_SUBMIT_TIME, "PR_CLIENT_SUBMIT_TIME"}};
    std::mt19937 random(7);
    ZUV_RowBuilder b;
    for (size_t i = 0; i < kRows; ++i) {
      std::string key(46, '\0');
      for (char& c : key) c = static_cast<char>(random());
      std::string subject(12 + random() % 389, 'x');
      for (char& c : subject) c = static_cast<char>('a' + random() % 26);
      if (i % 10 == 0) subject[subject.size() / 2] = '"';
      b.Clear();
      b.AddBinaryKey(key);
      b.AddBytes(kInstanceKeyTag, std::string_view(key).substr(42));
      b.AddBytes(PR_SUBJECT_A, subject);
      b.AddBytes(PR_SENDER_NAME_A, "Sender " + std::to_string(i % 97));
      b.AddBytes(PR_SENDER_EMAIL_ADDRESS_A, "sender" + std::to_string(i % 97) + "@example.org");
      b.AddNumber(PR_IMPORTANCE, static_cast<int64_t>(i % 3));
      b.AddNumber(PR_MESSAGE_FLAGS, static_cast<int64_t>(i % 2));
      const uint64_t ft = 133000000000000000ull + i * 10000000ull;
      b.AddTime(PR_CLIENT_SUBMIT_TIME, FILETIME{static_cast<DWORD>(ft & 0xFFFFFFFFu), static_cast<DWORD>(ft >> 32)});
      f.rows.push_back(b.Build());
    }
    ZUV_TextBuffer text;
    ZUV_RowTextWriter writer(f.names);
    for (const ZUV_RowRef& row : f.rows) writer.WriteRow(*row, &text);
    f.text_bytes = text.Size();
    return f;
  }();
  return fixture;
}

void BM_WriteRows(benchmark::State& state) {
  const Fixture& f = Rows();
  ZUV_TextBuffer text;
  for (auto _ : state) {
    text.Clear();
    ZUV_RowTextWriter writer(f.names);
    for (const ZUV_RowRef& row : f.rows) {
      if (text.Size() != 0) text.Append(',');
      writer.WriteRow(*row, &text);
    }
    benchmark::DoNotOptimize(text.View().data());
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * f.rows.size()));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.Size()));
}
BENCHMARK(BM_WriteRows);

// The same bytes copied: the floor of any writer.
void BM_CopyText(benchmark::State& state) {
  const Fixture& f = Rows();
  std::string from(f.text_bytes, 'x');
  std::string to(f.text_bytes, '\0');
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), from.size());
    benchmark::DoNotOptimize(to.data());
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * f.rows.size()));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * f.text_bytes));
}
BENCHMARK(BM_CopyText);

}  // namespace

BENCHMARK_MAIN();

// Evaluation cost of a filter predicate: nanoseconds per record for
//   (Amount * 1.1 > 500 AND UPPER(Name) LIKE 'SM%') OR Code IN (1, 5, 9)
// over 1,000,000 in-memory records read through the field fetcher, once as checked and once
// as prepared for a filter; and the same predicate in SQLite over the same rows in one
// SELECT count(*), in the same run.

#include <chrono>
#include <cstdio>
#include <cstring>
#include <strings.h>
#include <random>
#include <string>
#include <vector>

#include "expr/expression_checker.h"
#include "expr/expression_evaluator.h"
#include "expr/expression_parser.h"
#include "support/byte_order.h"
#include "support/data_types.h"

#if __has_include(<sqlite3.h>)
#include <sqlite3.h>
#define KORVEL_HAVE_SQLITE 1
#endif

using namespace korvel;

namespace {

constexpr const char* kPredicate = "(Amount * 1.1 > 500 AND UPPER(Name) LIKE 'SM%') OR Code IN (1, 5, 9)";
constexpr std::size_t kRecords = 1000000;

struct TRecord {
  double Amount;
  std::int32_t Code;
  char Name[21];
};

bool Resolve(void*, TExpToken& field) {
  struct TDef {
    const char* name;
    std::uint8_t type;
    std::int32_t size;
  };
  static const TDef defs[] = {{"Amount", dtFloat, 8}, {"Code", dtInteger, 4}, {"Name", dtString, 21}};
  for (std::size_t i = 0; i < 3; ++i) {
    if (strcasecmp(defs[i].name, field.Name.c_str()) == 0) {
      field.FieldNumber = static_cast<std::uint16_t>(i + 1);
      field.DataType = defs[i].type;
      field.SetDataSize(defs[i].size);
      return true;
    }
  }
  return false;
}

void Fetch(void*, const void* record, TExpToken& field) {
  const TRecord& r = *static_cast<const TRecord*>(record);
  field.IsNull = 0;
  switch (field.FieldNumber) {
    case 1: PutF64(field.ValueBuffer.get(), 0, r.Amount); break;
    case 2: PutI32(field.ValueBuffer.get(), 0, r.Code); break;
    default: std::memcpy(field.ValueBuffer.get(), r.Name, sizeof r.Name); break;
  }
}

std::vector<TRecord> MakeRecords() {
  static const char* names[] = {"Smith", "smithers", "Jones", "Smalley", "Brown", "Miller", "SMYTHE", "Snow"};
  std::mt19937 rng(2024);
  std::vector<TRecord> records(kRecords);
  for (TRecord& r : records) {
    r.Amount = static_cast<double>(rng() % 100000) / 100.0;
    r.Code = static_cast<std::int32_t>(rng() % 40);
    std::snprintf(r.Name, sizeof r.Name, "%s%u", names[rng() % 8], static_cast<unsigned>(rng() % 1000));
  }
  return records;
}

template <typename F>
double BestSeconds(F&& f) {
  double best = 1e300;
  for (int run = 0; run < 3; ++run) {
    auto start = std::chrono::steady_clock::now();
    f();
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (s < best) best = s;
  }
  return best;
}

}  // namespace

int main() {
  const std::vector<TRecord> records = MakeRecords();

  TExpTokenPtr checked = ParseFilterExpression(kPredicate, "bench");
  TExpressionCheckContext check;
  check.Resolver = &Resolve;
  VerifyExpression(check, checked.get());
  TExpTokenPtr prepared(BuildNextFilterExpression(checked.get(), nullptr, &Fetch, false, false, 0, 0));

  TEvaluationContext context;
  context.Fetcher = &Fetch;
  auto run = [&](TExpToken& tree, long& count) {
    TExpressionEvaluator evaluator;
    count = 0;
    for (const TRecord& r : records) {
      context.RecordBuffer = &r;
      count += evaluator.EvaluateBoolean(tree, context);
    }
  };
  long checkedCount = 0, preparedCount = 0;
  const double checkedSeconds = BestSeconds([&] { run(*checked, checkedCount); });
  const double preparedSeconds = BestSeconds([&] { run(*prepared, preparedCount); });
  const double checkedNs = checkedSeconds * 1e9 / kRecords;
  const double preparedNs = preparedSeconds * 1e9 / kRecords;
  std::printf("predicate: %s\nrecords: %zu\n", kPredicate, kRecords);
  std::printf("KORVEL checked tree      %8.1f ns/record  (%ld match)\n", checkedNs, checkedCount);
  std::printf("KORVEL prepared filter   %8.1f ns/record  (%ld match)\n", preparedNs, preparedCount);

#ifdef KORVEL_HAVE_SQLITE
  sqlite3* db = nullptr;
  sqlite3_open(":memory:", &db);
  sqlite3_exec(db, "CREATE TABLE t(Amount REAL, Code INTEGER, Name TEXT)", nullptr, nullptr, nullptr);
  sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare_v2(db, "INSERT INTO t VALUES (?, ?, ?)", -1, &insert, nullptr);
  for (const TRecord& r : records) {
    sqlite3_bind_double(insert, 1, r.Amount);
    sqlite3_bind_int(insert, 2, r.Code);
    sqlite3_bind_text(insert, 3, r.Name, -1, SQLITE_STATIC);
    sqlite3_step(insert);
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
  sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  const std::string sql = std::string("SELECT count(*) FROM t WHERE ") + kPredicate;
  sqlite3_stmt* select = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &select, nullptr) != SQLITE_OK) {
    std::printf("SQLite: %s\n", sqlite3_errmsg(db));
    return 1;
  }
  long sqliteCount = 0;
  const double sqliteSeconds = BestSeconds([&] {
    sqlite3_reset(select);
    if (sqlite3_step(select) == SQLITE_ROW) sqliteCount = sqlite3_column_int64(select, 0);
  });
  sqlite3_finalize(select);
  sqlite3_close(db);
  const double sqliteNs = sqliteSeconds * 1e9 / kRecords;
  std::printf("SQLite SELECT count(*)   %8.1f ns/row     (%ld match)\n", sqliteNs, sqliteCount);
  std::printf("ratio KORVEL/SQLite: checked %.2f, prepared %.2f\n", checkedNs / sqliteNs, preparedNs / sqliteNs);
  if (sqliteCount != checkedCount || preparedCount != checkedCount) {
    std::printf("MISMATCH: the counts differ\n");
    return 1;
  }
#else
  std::printf("SQLite not available: no peer figure\n");
#endif
  return checkedCount == preparedCount ? 0 : 1;
}

// The journal on a real SQLite file: rows survive the process, unfinished ones are found again.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include "receipt/journal_store.h"
#include "support/helpers.h"

namespace {

using nev::receipt::Counters;
using nev::receipt::Journal;
using nev::receipt::Progress;
using nev::receipt::State;

TEST(ReceiptJournal, RowsWrittenAheadSurviveReopeningAndFinishedOnesKeepTheirResult) {
  nevtest::TempDir dir;
  const std::string path = (dir.path() / "j.db").string();
  {
    Journal journal(path);
    Progress p{"a", "sale", "OpenFiscNote", "{}", "", Counters{4, 2, 1}, {}, {}, {}, "[]"};
    StoreOf(journal).Begin(p);
    p.step = "items[0]";
    p.receipt_number = 5;
    StoreOf(journal).Update(p);
    Progress q = p;
    q.id = "b";
    StoreOf(journal).Begin(q);
    q.device = "42";
    StoreOf(journal).Finish(q, State::kVoided, R"({"id":"b","state":"voided"})",
                            nev::receipt::Seen{3, 2, 2});
    // The same id cannot be begun twice.
    EXPECT_THROW(StoreOf(journal).Begin(q), std::runtime_error);
  }
  Journal journal(path);
  const auto unfinished = StoreOf(journal).Unfinished();
  ASSERT_EQ(unfinished.size(), 1u);
  EXPECT_EQ(unfinished[0].id, "a");
  EXPECT_EQ(unfinished[0].step, "items[0]");
  ASSERT_TRUE(unfinished[0].before);
  EXPECT_EQ(unfinished[0].before->last, 4);
  EXPECT_EQ(unfinished[0].before->voided, 1);
  EXPECT_EQ(unfinished[0].receipt_number, 5);
  EXPECT_FALSE(unfinished[0].expected_total);
  const auto b = journal.Find("b");
  ASSERT_TRUE(b);
  EXPECT_EQ(b->state, "voided");
  EXPECT_EQ(b->result, R"({"id":"b","state":"voided"})");
  ASSERT_TRUE(StoreOf(journal).DeviceSeen("42"));
  EXPECT_EQ(StoreOf(journal).DeviceSeen("42")->voided, 2);
  EXPECT_FALSE(StoreOf(journal).DeviceSeen("43"));
  EXPECT_FALSE(journal.Find("c"));
  EXPECT_EQ(journal.List().size(), 2u);

  // The file is in WAL mode.
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  sqlite3_stmt* st = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA journal_mode", -1, &st, nullptr), SQLITE_OK);
  ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
  EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)), "wal");
  sqlite3_finalize(st);
  sqlite3_close(db);
}

TEST(ReceiptJournal, AJournalFromBeforeDevicesWereNamedIsTakenAsItIs) {
  nevtest::TempDir dir;
  const std::string path = (dir.path() / "old.db").string();
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db,
                         "CREATE TABLE receipts (id TEXT PRIMARY KEY, kind TEXT NOT NULL, document "
                         "TEXT NOT NULL, step TEXT NOT NULL, last_before INTEGER, fiscal_before "
                         "INTEGER, voided_before INTEGER, receipt_number INTEGER, expected_total "
                         "REAL, change REAL, steps TEXT NOT NULL DEFAULT '[]', state TEXT, result "
                         "TEXT, created TEXT NOT NULL, updated TEXT NOT NULL);"
                         "INSERT INTO receipts (id, kind, document, step, created, updated) "
                         "VALUES ('old', 'sale', '{}', 'CloseFiscNote', 't', 't')",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);
  Journal journal(path);
  const auto unfinished = StoreOf(journal).Unfinished();
  ASSERT_EQ(unfinished.size(), 1u);
  EXPECT_EQ(unfinished[0].device, "");  // settled against whichever device answers
  EXPECT_FALSE(journal.Find("old")->device);
}

TEST(ReceiptJournal, AFileThatIsNoJournalIsRefusedClearly) {
  nevtest::TempDir dir;
  nevtest::WriteFile(dir.path() / "bad.db", std::string(4096, 'x'));
  EXPECT_THROW(Journal((dir.path() / "bad.db").string()), std::runtime_error);
  EXPECT_THROW(Journal((dir.path() / "no" / "such" / "j.db").string()), std::runtime_error);
}

}  // namespace

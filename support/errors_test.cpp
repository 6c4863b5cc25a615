#include "support/errors.h"

#include <gtest/gtest.h>

#include <set>
#include <stdexcept>
#include <thread>

namespace korvel {
namespace {

EKORVELEngineError Caught(TErrorCode code, const std::string& table = "", const std::string& field = "",
                          const std::string& index = "", const std::string& message = "",
                          const std::string& user = "", const std::string& database = "",
                          const std::string& server = "") {
  try {
    RaiseError(code, server, user, database, table, field, index, message);
  } catch (const EKORVELEngineError& e) {
    return e;
  }
  throw std::logic_error("RaiseError returned");
}

TEST(ErrorMessages, PlaceholdersTakeTheContextsTheMessageNames) {
  EXPECT_STREQ(Caught(KORVEL_KEYVIOL, "customer", "", "ByName").what(),
               "KORVEL Engine Error # 9729 Duplicate key found in the index 'ByName' of the table 'customer'");
  EXPECT_EQ(Caught(KORVEL_REMOTENOTAUTH, "", "", "", "", "joe", "sales", "10.0.0.1").Message(),
            "KORVEL Engine Error # 11288 The user 'joe' is not authorized to perform this operation with the "
            "database 'sales' on the database server at '10.0.0.1'");
  // 11279: the extra message first, then the server.
  EXPECT_EQ(Caught(KORVEL_REMOTEUNKNOWN, "", "", "", "boom", "", "", "srv").Message(),
            "KORVEL Engine Error # 11279 An unknown error ('boom') occurred with the connection to the "
            "database server at 'srv', please check the server log");
  EXPECT_EQ(Caught(KORVEL_INVALIDFILTER, "orders", "", "", "bad token").Message(),
            "KORVEL Engine Error # 10051 Filter error for the table 'orders' - bad token");
  EXPECT_EQ(Caught(KORVEL_INVALIDIDXDESC, "t", "7", "ix").Message(),
            "KORVEL Engine Error # 10023 Invalid field number '7' specified in the index 'ix' for the table 't'");
  EXPECT_EQ(Caught(KORVEL_SQLPARSE, "", "", "", "Expected FROM").Message(),
            "KORVEL Engine Error # 11949 SQL error - Expected FROM");
}

TEST(ErrorMessages, CodesWithoutMessageAndUnknownCodes) {
  EXPECT_EQ(GetErrorString(KORVEL_NONE), "An unknown error occurred");
  EXPECT_EQ(GetErrorString(KORVEL_REMOTECALLBACK), "An unknown error occurred");
  EXPECT_EQ(GetErrorString(1), "An unknown error occurred");
  EXPECT_STREQ(TranslateErrorConstant(9729), "KORVEL_KEYVIOL");
  EXPECT_STREQ(TranslateErrorConstant(1), "KORVEL_NONE");
  EXPECT_STREQ(TranslateErrorConstant(15878), "KORVEL_CANNOTLOADLDDRV");
}

TEST(ErrorMessages, OSUnknownNamesOnlyTheTableAndKeepsTheOSNumber) {
  errno = 0;
  EKORVELEngineError e = Caught(KORVEL_OSUNKNOWN, "t");
  EXPECT_EQ(e.Message(), "KORVEL Engine Error # 11047 An unknown operating system error occurred with the table 't'");
  EXPECT_EQ(GetErrorContext(7), std::to_string(e.OSErrorCode));
}

TEST(ErrorMessages, LongMessagesAreCutAt254) {
  std::string table(300, 'x');
  Caught(KORVEL_TABLEFULL, table);
  EXPECT_EQ(GetErrorContext(3).size(), 255u);  // contexts keep 255 characters
  std::string text = GetErrorString(KORVEL_TABLEFULL);
  EXPECT_EQ(text.size(), 254u);
  char buffer[255];
  GetErrorString(KORVEL_TABLEFULL, buffer);
  EXPECT_EQ(std::string(buffer), text);
}

TEST(ErrorBlock, RaiseReplacesEveryContextAndClearResetsThem) {
  Caught(KORVEL_KEYVIOL, "a", "f", "i", "m", "u", "d", "s");
  EXPECT_EQ(GetLastErrorNumber(), KORVEL_KEYVIOL);
  EXPECT_EQ(GetErrorContext(0), "s");
  EXPECT_EQ(GetErrorContext(6), "m");
  Caught(KORVEL_EOF, "b");
  EXPECT_EQ(GetErrorContext(0), "");  // not left over from the previous error
  EXPECT_EQ(GetErrorContext(3), "b");
  ClearErrorContexts();
  EXPECT_EQ(GetLastErrorNumber(), 0);
  for (int i = 0; i < 7; ++i) EXPECT_EQ(GetErrorContext(i), "");
  EXPECT_EQ(GetErrorContext(7), "0");
}

TEST(ErrorBlock, AnExceptionKeepsItsContextsWhenOtherThreadsRaise) {
  EKORVELEngineError mine = Caught(KORVEL_KEYVIOL, "mine", "", "idx");
  std::thread other([] {
    for (int i = 0; i < 100; ++i) Caught(KORVEL_EOF, "theirs" + std::to_string(i));
  });
  other.join();
  EXPECT_EQ(mine.ErrorTableName, "mine");
  EXPECT_EQ(mine.ErrorIndexName, "idx");
  EXPECT_NE(std::string(mine.what()).find("'mine'"), std::string::npos);
}

TEST(ErrorTable, CodesAscendAndNamesAreUnique) {
  std::size_t count = 0;
  const TErrorCode* codes = AllErrorCodes(count);
  ASSERT_GT(count, 90u);
  EXPECT_EQ(codes[0], 0);
  std::set<std::string> names;
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0) {
      EXPECT_LT(codes[i - 1], codes[i]);
    }
    EXPECT_TRUE(names.insert(TranslateErrorConstant(codes[i])).second) << codes[i];
  }
}

TEST(ErrorStatus, EngineExceptionsGiveTheirCodeOthers11047) {
  EXPECT_EQ(ConvertExceptionToStatus(Caught(KORVEL_EOF, "t")), KORVEL_EOF);
  EXPECT_EQ(ConvertExceptionToStatus(std::runtime_error("x")), KORVEL_OSUNKNOWN);
}

}  // namespace
}  // namespace korvel

// Settings-file readers: logical lines, key lookup, the simple line reader.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/tav_util.h"
#include "unit_support.h"

namespace {

constexpr const char* kEmpty = "<none>";  // a call that returned -562

struct FileCloser {
  void operator()(FILE* fp) const { fclose(fp); }
};
using File = std::unique_ptr<FILE, FileCloser>;

// Every result of tav_cfg_fgets until end of file, -562 written as kEmpty.
std::vector<std::string> read_all(const std::string& path) {
  std::vector<std::string> out;
  File fp(fopen(path.c_str(), "r"));
  if (!fp) {
    ADD_FAILURE() << "cannot open " << path;
    return out;
  }
  for (int guard = 0; guard < 100 && !feof(fp.get()); ++guard) {
    char* line = reinterpret_cast<char*>(1);  // must be reset on every result
    int rc = tav_cfg_fgets(fp.get(), &line);
    if (rc == -562) {
      EXPECT_EQ(line, nullptr);
      out.push_back(kEmpty);
    } else if (rc >= 0 && line) {
      std::string text(line, static_cast<size_t>(rc));
      EXPECT_EQ(line[rc], '\0');
      out.push_back(text);
      free(line);
    } else {
      ADD_FAILURE() << "unexpected result " << rc;
      break;
    }
  }
  return out;
}

struct LogicalCase {
  const char* name;
  std::string content;
  std::vector<std::string> lines;
};

TEST(CfgLogicalLine, CommentsContinuationsAndLeftovers) {
  const std::string none = kEmpty;
  const LogicalCase cases[] = {
      {"plain line leaves its newline", "key=value\n", {"key=value", none, none}},
      {"no final newline", "k=v", {"k=v"}},
      {"empty file", "", {none}},
      {"blank and comment-only lines", "# head\n\n   \nk=v",
       {none, none, "   ", none, "k=v"}},
      {"comment tail is an empty line", "key=val # note\nnext=1\n",
       {"key=val ", none, "next=1", none, none}},
      {"backslash joins lines", "key=a\\\n  b\n", {"key=a  b", none, none}},
      {"text after backslash dropped", "key=a\\ dropped\nb\n", {"key=ab", none, none}},
      {"comment after backslash joins", "key=a\\ # c\nb # d\n", {"key=ab ", none, none}},
      {"several continuations", "a\\\nb\\\nc\n", {"abc", none, none}},
      {"continuation into comment line", "a=1\\\n# c\nb=2", {"a=1", none, "b=2"}},
      {"continuation into blank line", "a=1\\\n\nb=2", {"a=1", none, "b=2"}},
      {"backslash at end of file", "key=a\\", {"key=a"}},
      {"hash inside quotes still comments", "k=\"a#b\"\n", {"k=\"a", none, none}},
  };
  unit::TempDir dir;
  ASSERT_TRUE(dir.ok());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(read_all(dir.write("cfg", c.content)), c.lines);
  }
}

TEST(CfgLogicalLine, NullArgumentsReadAsEmpty) {
  char* line = reinterpret_cast<char*>(1);
  EXPECT_EQ(tav_cfg_fgets(nullptr, &line), -562);
  EXPECT_EQ(line, nullptr);
  unit::TempDir dir;
  ASSERT_TRUE(dir.ok());
  File fp(fopen(dir.write("cfg", "k=v\n").c_str(), "r"));
  ASSERT_TRUE(fp);
  EXPECT_EQ(tav_cfg_fgets(fp.get(), nullptr), -562);
}

TEST(CfgLogicalLine, LinesLongerThanAnyFixedBuffer) {
  const std::string first(5000, 'x');
  const std::string second(3000, 'y');
  unit::TempDir dir;
  ASSERT_TRUE(dir.ok());
  std::string path = dir.write("cfg", "big=" + first + "\\ tail\n" + second + " # c\n");
  EXPECT_EQ(read_all(path),
            (std::vector<std::string>{"big=" + first + second + " ", kEmpty, kEmpty}));

  std::unique_ptr<char, decltype(&free)> value(tav_gets(path.c_str(), "big"), &free);
  ASSERT_TRUE(value);
  EXPECT_EQ(std::string(value.get()), first + second);
}

class CfgGets : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    path_ = dir_.write("qel.conf",
                       "# settings of the test\n"
                       "qel.log = yes   # trailing comment\n"
                       "qel.log.level=3\n"
                       "\n"
                       "qel.path = \"  /opt/qel dir  \" ignored\n"
                       "qel.quote.open = \"abc\n"
                       "qel.empty =    \n"
                       "qel.noeq\n"
                       "qel.noeq.later = 5\n"
                       "qel.cont = a\\\n"
                       "b\n"
                       "qel.xcont = x\\ # comment after backslash\n"
                       "y\n"
                       "   qel.indented = 7\n"
                       "qel.crlf = v\r\n"
                       "qel.emptyq = \"\"\n"
                       "qel.hash = a#b\n"
                       "qel.twice = first\n"
                       "qel.twice = second\n");
  }

  std::string get(const char* key) {
    char* v = tav_gets(path_.c_str(), key);
    if (!v) return "<null>";
    std::string s = v;
    free(v);
    return s;
  }

  unit::TempDir dir_;
  std::string path_;
};

TEST_F(CfgGets, FirstLineBeginningWithTheKeyDecides) {
  const struct {
    const char* key;
    const char* value;
  } cases[] = {
      {"qel.log", "yes"},
      {"qel.log.level", "3"},
      {"qel.lo", "yes"},  // prefix of the first matching line
      {"qel.path", "  /opt/qel dir  "},
      {"qel.quote.open", "abc"},
      {"qel.empty", "<null>"},
      {"qel.noeq", "<null>"},  // first match has no '=', the later one is not used
      {"qel.noeq.later", "5"},
      {"qel.cont", "ab"},
      {"qel.xcont", "xy"},
      {"qel.indented", "7"},
      {"qel.crlf", "v"},
      {"qel.emptyq", "<null>"},
      {"qel.hash", "a"},
      {"qel.twice", "first"},
      {"qel.missing", "<null>"},
      {"settings", "<null>"},  // only inside a comment
      {"b", "<null>"},         // continuation text is not a line of its own
      {"y", "<null>"},
  };
  for (const auto& c : cases) EXPECT_EQ(get(c.key), c.value) << c.key;
}

TEST_F(CfgGets, MissingFileOrArgumentsGiveNull) {
  EXPECT_EQ(tav_gets(nullptr, "qel.log"), nullptr);
  EXPECT_EQ(tav_gets((dir_.path() + "/absent.conf").c_str(), "qel.log"), nullptr);
  EXPECT_EQ(tav_gets(dir_.path().c_str(), "qel.log"), nullptr);  // a directory
  EXPECT_EQ(tav_gets(path_.c_str(), nullptr), nullptr);
}

TEST(CfgFgets, FirstPhysicalLineContainingTheNeedle) {
  unit::TempDir dir;
  ASSERT_TRUE(dir.ok());
  std::string path = dir.write("plain.conf",
                               "# qel.log = commented\n"
                               "name.port =  8080  \n"
                               "flag\n"
                               "a=b=c\n"
                               "k=0123456789\n");
  const struct {
    const char* needle;
    int n;
    int rc;
    const char* text;
  } cases[] = {
      {"name.port", 64, 4, "8080"},
      {"qel.log", 64, 9, "commented"},  // no comment handling
      {"flag", 64, 0, ""},              // first match has no '='
      {"a=b", 64, 3, "b=c"},            // after the first '='
      {"missing", 64, 0, ""},
      {"k=", 8, 5, "01234"},  // line read in pieces of n - 1 bytes
      {"k=", 3, 0, ""},       // "k=" then nothing after it
      {"k=", 1, 0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.needle) + " n=" + std::to_string(c.n));
    std::vector<char> buf(static_cast<size_t>(c.n) + 8, '#');
    EXPECT_EQ(tav_fgets(path.c_str(), c.needle, buf.data(), c.n), c.rc);
    EXPECT_STREQ(buf.data(), c.text);
    for (size_t i = static_cast<size_t>(c.n); i < buf.size(); ++i)
      ASSERT_EQ(buf[i], '#') << "written past n at " << i;
  }
}

TEST(CfgFgets, MissingFileOrArgumentsGiveZero) {
  char buf[16] = "x";
  EXPECT_EQ(tav_fgets("/nonexistent/qel.conf", "k", buf, sizeof buf), 0);
  EXPECT_STREQ(buf, "");
  EXPECT_EQ(tav_fgets(nullptr, "k", buf, sizeof buf), 0);
  EXPECT_EQ(tav_fgets("/etc/hostname", nullptr, buf, sizeof buf), 0);
  EXPECT_EQ(tav_fgets("/etc/hostname", "k", nullptr, 16), 0);
  char one = '#';
  EXPECT_EQ(tav_fgets("/etc/hostname", "k", &one, 0), 0);
  EXPECT_EQ(one, '#');
}

}  // namespace

// WebtoB build: process classes and the URLs that are not traced.
#include <gtest/gtest.h>

#include <string>

#include "core/tav_build.h"

#if defined(TAV_BUILD_WEBTOB)
#include "servers/webtob/tav_webtob.h"

namespace {

TEST(WebtobClass, FromTheProgramName) {
  struct Case {
    const char* name;
    int cls;
  } cases[] = {{"hths01", TAV_WEBTOB_HTH}, {"hth", TAV_WEBTOB_HTH},   {"htmls", TAV_WEBTOB_HTML},
               {"html01", TAV_WEBTOB_HTML}, {"htl", TAV_WEBTOB_OTHER}, {"wsm", TAV_WEBTOB_OTHER},
               {"", TAV_WEBTOB_OTHER},      {"HTH", TAV_WEBTOB_OTHER}};
  for (const Case& c : cases) EXPECT_EQ(tav::webtob::process_class(c.name), c.cls) << c.name;
}

class WebtobUrls : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = en_gelist;
    en_gelist = tav_list_create();
    tav_geinfo(" /health , /admin/,,/x y");
  }
  void TearDown() override {
    tav_list_destroy(en_gelist);
    en_gelist = saved_;
  }
  static int excluded(const std::string& data, size_t n = std::string::npos) {
    return tav_gtuid_url_expect(data.data(), n == std::string::npos ? data.size() : n);
  }

 private:
  tavlist_t* saved_ = nullptr;
};

TEST_F(WebtobUrls, EntriesAreTrimmedAndEndWithASpace) {
  std::string entries;
  for (const tavlist* e = en_gelist->head; e; e = e->next)
    entries += "[" + std::string(static_cast<const char*>(e->data), static_cast<size_t>(e->size)) + "]";
  EXPECT_EQ(entries, "[/health ][/admin/ ][/x y ]");
}

TEST_F(WebtobUrls, RequestLinesAgainstTheList) {
  const std::string far = std::string(520, 'x') + " /health HTTP/1.1";
  struct Case {
    const char* name;
    std::string data;
    size_t n;
    int excluded;
  } cases[] = {
      {"the URL itself", "GET /health HTTP/1.1\r\n", std::string::npos, 1},
      {"a longer URL", "GET /healthcheck HTTP/1.1\r\n", std::string::npos, 0},
      {"a URL with a query", "GET /health?x=1 HTTP/1.1\r\n", std::string::npos, 0},
      {"a directory entry", "POST /admin/ HTTP/1.0\r\n", std::string::npos, 1},
      {"no HTTP in the first 512 bytes", far, std::string::npos, 0},
      {"HTTP only behind the bytes read", "GET /health HTTP/1.1", 14, 0},
      {"the URL only behind HTTP", "GET / HTTP/1.1\r\nReferer: /health \r\n", std::string::npos, 0},
      {"nothing read", "GET /health HTTP/1.1", 0, 0},
  };
  for (const Case& c : cases) EXPECT_EQ(excluded(c.data, c.n), c.excluded) << c.name;
  tavlist_t* const list = en_gelist;
  en_gelist = nullptr;  // no list: nothing is excluded
  EXPECT_EQ(excluded("GET /health HTTP/1.1"), 0);
  en_gelist = list;
}

}  // namespace
#endif

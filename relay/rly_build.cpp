#include "rly_build.h"

#include "base/tav_master_proto.h"

const rly_build_t rly_build_relayd = {"relayd", 104, tav::master::kTcodeBatch, 5040, 1,
                                      RLY_SETTINGS_KEYS, 0};
const rly_build_t rly_build_lib = {"librelay", 168, tav::master::kTcode4Batch, 3120, 0,
                                   RLY_SETTINGS_KEYS, 1};
const rly_build_t rly_build_jni = {"librelay-jni", 168, tav::master::kTcode4Batch, 3120, 1,
                                   RLY_SETTINGS_XML, 1};

namespace {
const rly_build_t* g_build = &rly_build_lib;
}

const rly_build_t& rly_build() { return *g_build; }
void rly_select_build(const rly_build_t& b) { g_build = &b; }

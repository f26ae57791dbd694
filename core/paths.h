// The daemon's fixed paths, as its records name them; every one is opened below $KIV_ROOT on the
// host (kiv_path). The platform's own files (settings store, console, uptime) are the platform's.
#pragma once

inline constexpr const char* KIV_LOG_PATH = "/tmp/kiv.log";
inline constexpr const char* KIV_LOG_ROTATED_PATH = "/tmp/kiv.log.1";
inline constexpr const char* KIV_SYSLOG_PATH = "/tmp/syslog.log";  // the log the daemon follows
inline constexpr const char* KIV_PID_PATH = "/var/run/kiv.pid";
inline constexpr const char* KIV_TMP_DIR = "/tmp";
inline constexpr const char* KIV_TMP_COUNTS_NAME = "kiv_report_counts";  // in KIV_TMP_DIR
inline constexpr const char* KIV_JSON_PATH = "/tmp/kivjson.json";        // the downloaded rule file
inline constexpr const char* KIV_DUMP_PATH = "/tmp/kiv_dump.txt";
inline constexpr const char* KIV_DECJSONOBJ_PATH = "/tmp/decjsonobj.txt";    // debug copies
inline constexpr const char* KIV_DECJSONFILE_PATH = "/tmp/decjsonfile.txt";  // of a rule file
inline constexpr const char* KIV_JFFS_PATH = "/jffs";  // the flash file system
inline constexpr const char* KIV_FLASH_DIR = "/jffs/kiv";
inline constexpr const char* KIV_RULE_CACHE_NAME = "kivjson.cache";  // in KIV_FLASH_DIR
inline constexpr const char* KIV_REBOOTS_NAME = "reboots";           // in KIV_FLASH_DIR
inline constexpr const char* KIV_HEALS_NAME = "heals";               // in KIV_FLASH_DIR
inline constexpr const char* KIV_COUNTS_NAME = "report_counts";      // in KIV_FLASH_DIR
inline constexpr const char* KIV_SERIAL_NAME = "rule_serial";        // in KIV_FLASH_DIR

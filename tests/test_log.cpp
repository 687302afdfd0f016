// Logger: line format on the console streams, pattern directives, levels,
// callback path, log file, concurrent logging and the FATAL abort.
#include "vexal.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {

const char kDefaultPattern[] = "[%T] [%L] %F:%N %M: %m";

class Log : public ::testing::Test {
protected:
    void SetUp() override {
        reset();
        char tmpl[] = "/tmp/vx_log_test_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override {
        reset();
        std::string cmd = "rm -rf '" + dir + "'";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }
    static void reset() {
        vx_log_set_callback(nullptr, nullptr);
        vx_log_set_file(nullptr, 0);
        vx_log_set_console(1);
        vx_log_set_level(VX_LOG_INFO);
        vx_log_set_format(kDefaultPattern);
    }
    static std::string read_file(const std::string &path) {
        std::ifstream in(path);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    std::string dir;
};

std::string log_to_stdout(vx_log_level level, const char *file, int32_t line, const char *fn, const char *msg) {
    CaptureStdout();
    vx_log_write(level, file, line, fn, "%s", msg);
    return GetCapturedStdout();
}

}  // namespace

TEST_F(Log, DefaultLineFormatOnStdout) {
    time_t before = time(nullptr);
    CaptureStdout();
    vx_log_write(VX_LOG_INFO, "/src/db/open.c", 42, "open_db", "opened %d", 3);
    std::string out = GetCapturedStdout();
    time_t after = time(nullptr);

    std::smatch m;
    std::regex re(R"(^\[(\d{4})-(\d{2})-(\d{2}) (\d{2}):(\d{2}):(\d{2})\.\d{3}\] \[INFO \] open\.c:42 open_db: opened 3\n$)");
    ASSERT_TRUE(std::regex_match(out, m, re)) << out;
    struct tm tm = {};
    tm.tm_year = std::stoi(m[1]) - 1900;
    tm.tm_mon = std::stoi(m[2]) - 1;
    tm.tm_mday = std::stoi(m[3]);
    tm.tm_hour = std::stoi(m[4]);
    tm.tm_min = std::stoi(m[5]);
    tm.tm_sec = std::stoi(m[6]);
    tm.tm_isdst = -1;
    time_t shown = mktime(&tm);  // local time, as written
    EXPECT_GE(shown, before - 1);
    EXPECT_LE(shown, after + 1);
}

TEST_F(Log, LevelsFilterAndChooseTheStream) {
    EXPECT_EQ(vx_log_get_level(), (vx_log_level)VX_LOG_INFO);
    EXPECT_EQ(log_to_stdout(VX_LOG_DEBUG, "a.c", 1, "f", "hidden"), "");
    vx_log_set_level(VX_LOG_TRACE);
    EXPECT_NE(log_to_stdout(VX_LOG_DEBUG, "a.c", 1, "f", "shown").find("[DEBUG] a.c:1 f: shown"), std::string::npos);
    EXPECT_NE(log_to_stdout(VX_LOG_WARN, "a.c", 1, "f", "w").find("[WARN ]"), std::string::npos);

    vx_log_set_format("%L|%m");
    CaptureStdout();
    CaptureStderr();
    vx_log_write(VX_LOG_ERROR, "a.c", 1, "f", "bad");
    vx_log_write(42, "a.c", 1, "f", "odd");  // levels above FATAL are logged as UNKNOWN
    std::string out = GetCapturedStdout(), err = GetCapturedStderr();
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, "ERROR|bad\nUNKNOWN|odd\n");

    vx_log_set_console(0);
    EXPECT_EQ(log_to_stdout(VX_LOG_WARN, "a.c", 1, "f", "quiet"), "");
}

TEST_F(Log, PatternDirectives) {
    vx_log_set_format("%m%%%x%");
    EXPECT_EQ(log_to_stdout(VX_LOG_INFO, "a.c", 1, "f", "hi"), "hi%%\n");

    vx_log_set_format("%F");
    EXPECT_EQ(log_to_stdout(VX_LOG_INFO, "C:\\dir\\x.c", 1, "f", ""), "x.c\n");
    EXPECT_EQ(log_to_stdout(VX_LOG_INFO, "a\\b/c\\d.c", 1, "f", ""), "c\\d.c\n");
    EXPECT_EQ(log_to_stdout(VX_LOG_INFO, "plain.c", 1, "f", ""), "plain.c\n");

    vx_log_set_format("<%N> %M %L");
    EXPECT_EQ(log_to_stdout(VX_LOG_WARN, "a.c", -7, "fn", ""), "<-7> fn WARN \n");

    vx_log_set_format("");
    EXPECT_EQ(log_to_stdout(VX_LOG_INFO, "a.c", 1, "f", "gone"), "\n");

    // Null texts from the caller print as empty, never crash.
    vx_log_set_format("[%F][%M][%m]");
    CaptureStdout();
    vx_log_write(VX_LOG_INFO, nullptr, 1, nullptr, nullptr);
    EXPECT_EQ(GetCapturedStdout(), "[][][]\n");

    // A null pattern changes nothing; long patterns keep 255 characters.
    vx_log_set_format(nullptr);
    EXPECT_EQ(log_to_stdout(VX_LOG_INFO, "a.c", 1, "f", "m"), "[a.c][f][m]\n");
    std::string long_pattern(300, 'p');
    vx_log_set_format(long_pattern.c_str());
    EXPECT_EQ(log_to_stdout(VX_LOG_INFO, "a.c", 1, "f", ""), std::string(255, 'p') + "\n");
}

TEST_F(Log, LongMessagesAndLinesAreCut) {
    std::string msg(5000, 'm');
    vx_log_set_format("%m");
    EXPECT_EQ(log_to_stdout(VX_LOG_INFO, "a.c", 1, "f", msg.c_str()), std::string(2047, 'm') + "\n");
    vx_log_set_format("%m%m%m");
    EXPECT_EQ(log_to_stdout(VX_LOG_INFO, "a.c", 1, "f", msg.c_str()), std::string(4095, 'm') + "\n");
}

namespace {
struct Seen {
    int calls = 0;
    uint32_t level = 0;
    std::string file, function, message;
    int32_t line = 0;
    uint64_t ts = 0;
    void *user = nullptr;
};
void record_callback(uint32_t level, const char *file, int32_t line, const char *function, uint64_t ts,
                     const char *message, void *user) {
    Seen *s = static_cast<Seen *>(user);
    s->calls++;
    s->level = level;
    s->file = file;
    s->line = line;
    s->function = function;
    s->ts = ts;
    s->message = message;
    s->user = user;
}
void reentrant_callback(uint32_t, const char *, int32_t, const char *, uint64_t, const char *, void *user) {
    ++*static_cast<int *>(user);
    vx_log_write(VX_LOG_ERROR, "inner.c", 1, "inner", "from inside");  // must not deadlock
}
}  // namespace

TEST_F(Log, CallbackReceivesMessagesInsteadOfOutputs) {
    std::string path = dir + "/cb.log";
    ASSERT_EQ(vx_log_set_file(path.c_str(), 0), VX_OK);
    Seen seen;
    vx_log_set_callback(record_callback, &seen);
    uint64_t before = vx_log_timestamp();
    CaptureStdout();
    CaptureStderr();
    vx_log_write(VX_LOG_FATAL, "/deep/dir/file.c", 77, "fn", "value %s=%d", "x", 5);  // returns normally
    std::string out = GetCapturedStdout(), err = GetCapturedStderr();
    uint64_t after = vx_log_timestamp();
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, "");
    EXPECT_EQ(read_file(path), "");
    EXPECT_EQ(seen.calls, 1);
    EXPECT_EQ(seen.level, (uint32_t)VX_LOG_FATAL);
    EXPECT_EQ(seen.file, "/deep/dir/file.c");  // as given, directories kept
    EXPECT_EQ(seen.line, 77);
    EXPECT_EQ(seen.function, "fn");
    EXPECT_EQ(seen.message, "value x=5");
    EXPECT_EQ(seen.user, &seen);
    EXPECT_GE(seen.ts, before);
    EXPECT_LE(seen.ts, after);

    vx_log_write(VX_LOG_DEBUG, "f.c", 1, "fn", "below level");
    EXPECT_EQ(seen.calls, 1);

    int calls = 0;
    vx_log_set_callback(reentrant_callback, &calls);
    vx_log_write(VX_LOG_INFO, "f.c", 1, "fn", "outer");
    EXPECT_EQ(calls, 1);

    vx_log_set_callback(nullptr, nullptr);
    vx_log_set_console(0);
    vx_log_write(VX_LOG_INFO, "f.c", 1, "fn", "to file");
    vx_log_set_format("%m");
    vx_log_write(VX_LOG_INFO, "f.c", 1, "fn", "plain");
    std::string text = read_file(path);
    EXPECT_NE(text.find("f.c:1 fn: to file\n"), std::string::npos);
    EXPECT_NE(text.find("\nplain\n"), std::string::npos);
}

namespace {
void log_v(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vx_log_write_v(VX_LOG_WARN, "v.c", 3, "vf", fmt, ap);
    va_end(ap);
}
}  // namespace

TEST_F(Log, VariableArgumentListForm) {
    vx_log_set_format("%L %m");
    CaptureStdout();
    log_v("%d-%s-%%", 12, "ab");
    EXPECT_EQ(GetCapturedStdout(), "WARN  12-ab-%\n");
    vx_log_set_level(VX_LOG_ERROR);
    CaptureStdout();
    log_v("%s", "dropped");
    EXPECT_EQ(GetCapturedStdout(), "");
}

TEST_F(Log, LogFileAppendTruncateAndFailure) {
    std::string path = dir + "/app.log";
    vx_log_set_console(0);
    vx_log_set_format("%m");
    ASSERT_EQ(vx_log_set_file(path.c_str(), 0), VX_OK);
    vx_log_write(VX_LOG_INFO, "a.c", 1, "f", "one");
    ASSERT_EQ(vx_log_set_file(path.c_str(), 1), VX_OK);
    vx_log_write(VX_LOG_INFO, "a.c", 1, "f", "two");
    EXPECT_EQ(read_file(path), "one\ntwo\n");
    ASSERT_EQ(vx_log_set_file(path.c_str(), 0), VX_OK);
    vx_log_write(VX_LOG_INFO, "a.c", 1, "f", "three");
    EXPECT_EQ(read_file(path), "three\n");

    std::string missing = dir + "/no/such/dir/x.log";
    EXPECT_EQ(vx_log_set_file(missing.c_str(), 1), VX_ERR_FILE_NOT_FOUND);
    vx_log_write(VX_LOG_INFO, "a.c", 1, "f", "four");  // no file open any more
    EXPECT_EQ(read_file(path), "three\n");
    EXPECT_EQ(vx_log_set_file(nullptr, 0), VX_OK);
    vx_log_flush();
}

TEST_F(Log, LevelNames) {
    const char *names[] = {"TRACE", "DEBUG", "INFO", "WARN", "ERROR", "FATAL"};
    for (uint32_t i = 0; i < 6; i++) {
        EXPECT_STREQ(vx_log_level_string(i), names[i]);
        EXPECT_EQ(vx_log_level_from_string(names[i]), i);
    }
    EXPECT_STREQ(vx_log_level_string(6), "UNKNOWN");
    EXPECT_STREQ(vx_log_level_string(UINT32_MAX), "UNKNOWN");
    EXPECT_EQ(vx_log_level_from_string("warn"), 3u);
    EXPECT_EQ(vx_log_level_from_string("fAtAl"), 5u);
    EXPECT_EQ(vx_log_level_from_string("verbose"), 2u);
    EXPECT_EQ(vx_log_level_from_string("WARNING"), 2u);
    EXPECT_EQ(vx_log_level_from_string("WAR"), 2u);
    EXPECT_EQ(vx_log_level_from_string(""), 2u);
    EXPECT_EQ(vx_log_level_from_string(nullptr), 2u);
}

TEST_F(Log, ConcurrentWritersProduceWholeLines) {
    std::string path = dir + "/mt.log";
    vx_log_set_console(0);
    vx_log_set_format("%L %M %m");
    ASSERT_EQ(vx_log_set_file(path.c_str(), 0), VX_OK);
    // Threads start together right after a shutdown: their first calls race
    // to initialise the logger's mutex.
    vx_log_shutdown();
    const int threads = 4, per_thread = 300;
    std::atomic<bool> go{false};
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; t++) {
        pool.emplace_back([&, t] {
            while (!go.load()) {
            }
            std::string fn = "t" + std::to_string(t);
            for (int i = 0; i < per_thread; i++) {
                vx_log_write(VX_LOG_WARN, "mt.c", i, fn.c_str(), "message %d of %d", i, t);
                if (i % 50 == 0) vx_log_set_level(VX_LOG_INFO);
                (void)vx_log_get_level();
            }
        });
    }
    go = true;
    for (auto &th : pool) th.join();
    // The shutdown closed the file; reopen to append, then check every line.
    EXPECT_EQ(read_file(path), "");
    ASSERT_EQ(vx_log_set_file(path.c_str(), 1), VX_OK);
    std::vector<std::thread> writers;
    for (int t = 0; t < threads; t++) {
        writers.emplace_back([t] {
            std::string fn = "t" + std::to_string(t);
            for (int i = 0; i < per_thread; i++)
                vx_log_write(VX_LOG_WARN, "mt.c", i, fn.c_str(), "message %d of %d", i, t);
        });
    }
    for (auto &th : writers) th.join();
    vx_log_set_file(nullptr, 0);
    std::istringstream lines(read_file(path));
    std::string line;
    std::vector<int> next(threads, 0);
    int count = 0;
    std::regex re(R"(WARN  t(\d) message (\d+) of (\d))");
    while (std::getline(lines, line)) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, re)) << line;
        int t = std::stoi(m[1]);
        ASSERT_EQ(std::stoi(m[3]), t);
        ASSERT_EQ(std::stoi(m[2]), next[t]++);  // each thread's lines stay in order
        count++;
    }
    EXPECT_EQ(count, threads * per_thread);
}

TEST_F(Log, FatalWithoutCallbackAborts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    vx_log_set_format("%L %m");
    EXPECT_DEATH(vx_log_write(VX_LOG_FATAL, "f.c", 1, "fn", "the end"), "FATAL the end");
}

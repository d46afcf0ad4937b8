// Files and folders for the test suites: where the test tree is, whole files
// read and written, and scratch folders that go away with everything in them.
#pragma once

#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

// A variable that is set and not empty, else the fallback.
inline std::string env_or(const char *name, const char *fallback) {
    const char *v = std::getenv(name);
    return v && *v ? v : fallback;
}

// The tests folder: VISTREL_TESTS (make passes it absolute, so a suite may
// run from any folder), else tests/ below the current folder.
inline std::string tests_dir() { return env_or("VISTREL_TESTS", "tests"); }
// Fake tools, fixtures and expected responses.
inline std::string data_dir() { return tests_dir() + "/data"; }

// The whole file as bytes; empty when it cannot be read.
inline std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline void write_file(const std::string &path, const std::string &text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// Anything at all at that path, a dangling link included.
inline bool path_exists(const std::string &path) {
    struct stat st = {};
    return lstat(path.c_str(), &st) == 0;
}

// A fresh folder /tmp/vistrel-TAG-XXXXXX for one test's files, removed with
// all it holds when the object goes. Links inside are removed, never followed.
class scratch_dir {
  public:
    explicit scratch_dir(const std::string &tag = "test") {
        std::string tmpl = "/tmp/vistrel-" + tag + "-XXXXXX";
        if (!mkdtemp(&tmpl[0])) {
            std::perror("scratch folder");
            std::abort(); // no test can run without one
        }
        path_ = tmpl;
    }
    ~scratch_dir() {
        nftw(
            path_.c_str(), [](const char *p, const struct stat *, int, FTW *) { return std::remove(p); }, 16,
            FTW_DEPTH | FTW_PHYS);
    }
    scratch_dir(const scratch_dir &) = delete;
    scratch_dir &operator=(const scratch_dir &) = delete;

    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }
    // Writes the file and returns its path.
    std::string write(const std::string &name, const std::string &text) const {
        write_file(file(name), text);
        return file(name);
    }

  private:
    std::string path_;
};

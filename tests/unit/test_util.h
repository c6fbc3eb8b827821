// Small helpers shared by the unit tests.
#ifndef CORVANTIS_TESTS_TEST_UTIL_H
#define CORVANTIS_TESTS_TEST_UTIL_H

#include "agent/notify.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

// A private temporary directory, removed with its files at scope end.
class TempDir {
public:
    TempDir()
    {
        char pattern[] = "/tmp/corvantis-test.XXXXXX";
        path_ = mkdtemp(pattern);
    }
    ~TempDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }
    std::string write(const std::string &name, const std::string &content) const
    {
        std::ofstream(file(name), std::ios::binary) << content;
        return file(name);
    }

private:
    std::string path_;
};

inline std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

inline bool file_exists(const std::string &path)
{
    return access(path.c_str(), F_OK) == 0;
}

// What set_notify_observer(record_notification) saw: "kind row value..."
// per notification, the row taken from its first variable.
inline std::vector<std::string> g_notified;
inline void record_notification(notification_kind kind, const std::vector<notify_varbind> &vars)
{
    std::string text = std::to_string(kind) + " " + std::to_string(vars.at(0).suffix.back());
    for (const notify_varbind &v : vars)
        text += " " + (v.type == ASN_OCTET_STR ? v.text : std::to_string(v.integer));
    g_notified.push_back(text);
}

#endif

// Small helpers shared by the unit tests.
#ifndef CORVANTIS_TESTS_TEST_UTIL_H
#define CORVANTIS_TESTS_TEST_UTIL_H

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

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

#endif

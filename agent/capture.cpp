#include "agent/capture.h"

#include <cstdlib>
#include <cstring>
#include <unistd.h>

CommandCapture::CommandCapture(const char *stem)
{
    char name[sizeof path_];
    if (snprintf(name, sizeof name, "%sXXXXXX", stem) >= static_cast<int>(sizeof name))
        return;
    int fd = mkstemp(name);
    if (fd < 0)
        return;
    close(fd);
    memcpy(path_, name, sizeof path_);
}

CommandCapture::~CommandCapture()
{
    finish();
}

int CommandCapture::run(const std::string &command_line)
{
    if (!created())
        return CAPTURE_CANNOT_OPEN;
    return system(command_line.c_str());
}

FILE *CommandCapture::open()
{
    if (!created())
        return nullptr;
    if (!file_)
        file_ = fopen(path_, "r");
    return file_;
}

void CommandCapture::finish()
{
    if (!file_)
        return;
    fclose(file_);
    file_ = nullptr;
    unlink(path_);
}

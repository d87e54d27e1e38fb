// Collects the program's log lines for as long as it lives.
#pragma once

#include "host/log.h"

#include <string>

class log_capture {
  public:
    log_capture()
    {
        lines().clear();
        log_set_sink(append);
    }
    ~log_capture()
    {
        log_set_sink(nullptr);
    }
    log_capture(const log_capture&) = delete;
    log_capture& operator=(const log_capture&) = delete;

    const std::string& text() const
    {
        return lines();
    }
    void clear()
    {
        lines().clear();
    }

  private:
    static std::string& lines()
    {
        static std::string captured;
        return captured;
    }
    static void append(const char* line, std::int32_t length)
    {
        lines().append(line, static_cast<std::size_t>(length));
    }
};

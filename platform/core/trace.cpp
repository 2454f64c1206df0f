#include "platform/core/trace.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace platform {
namespace {

Trace& ProcessTrace() {
    static Trace trace;
    return trace;
}

thread_local Trace* tCurrent = nullptr;

}  // namespace

Trace::Trace() {
    const char* echo = std::getenv("KALDRIT_TRACE");
    echo_ = echo != nullptr && std::strcmp(echo, "1") == 0;
}

Trace& Trace::Current() {
    return tCurrent ? *tCurrent : ProcessTrace();
}

Trace::Scope::Scope(Trace& trace) : previous_(tCurrent) {
    tCurrent = &trace;
}
Trace::Scope::~Scope() {
    tCurrent = previous_;
}

void Trace::Write(std::string_view text) {
    if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
    std::string line = prefix_ ? prefix_() : std::string();
    line += text;
    if (echo_) std::fprintf(stderr, "%s\n", line.c_str());
    lines_.push_back(std::move(line));
}

bool Trace::Contains(std::string_view fragment) const {
    for (const std::string& line : lines_) {
        if (line.find(fragment) != std::string::npos) return true;
    }
    return false;
}

}  // namespace platform

void DbgPrint(const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    platform::Trace::Current().Write(text);
}

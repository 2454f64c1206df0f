// The debug trace: what DbgPrint and OutputDebugString would show a debugger. It is
// kept in memory so a test can read it back, and echoed to stderr when
// KALDRIT_TRACE=1 is set in the environment.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

class Trace {
  public:
    Trace();
    Trace(const Trace&) = delete;
    Trace& operator=(const Trace&) = delete;

    // The trace that calls on this OS thread write to: the running machine's, or a
    // process-wide one outside any machine.
    static Trace& Current();
    // Makes `trace` current until the returned scope ends.
    class Scope {
      public:
        explicit Scope(Trace& trace);
        ~Scope();
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

      private:
        Trace* previous_;
    };

    // Adds `text` as one line (a trailing newline is dropped).
    void Write(std::string_view text);
    const std::vector<std::string>& Lines() const { return lines_; }
    bool Contains(std::string_view fragment) const;
    void Clear() { lines_.clear(); }

    // Text put before each line, such as the virtual time and the fiber's name.
    void SetPrefix(std::function<std::string()> prefix) { prefix_ = std::move(prefix); }

  private:
    std::vector<std::string> lines_;
    std::function<std::string()> prefix_;
    bool echo_;
};

}  // namespace platform

// Kernel-mode debug output, printf-style.
void DbgPrint(const char* format, ...) __attribute__((format(printf, 1, 2)));

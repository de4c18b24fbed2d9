// cedev's one error style and argument reading. A command that cannot do what it was
// asked throws a Failure; main() prints it as one line on stderr, "cedev: ...", with
// the control characters of whatever it quotes escaped, and exits with its code.
#ifndef CEDEV_CLI_H
#define CEDEV_CLI_H

#include "exitcodes.h"

#include <cstdint>
#include <string>
#include <vector>

struct Failure {
    int code;
    std::string message;
    bool usage;  // followed by a pointer to 'cedev help'
};

[[noreturn]] void Fail(const std::string &message, int code = kExitFail);
// A command given wrongly: exit code 2, and the help pointer.
[[noreturn]] void UsageError(const std::string &message);
// Prints one line "cedev: MESSAGE" on stderr, escaped.
void Say(const std::string &message);
// MESSAGE as one line of plain text: control and format characters escaped.
std::string OneLine(const std::string &message);

// A command's words after the command's own name.
class Args {
public:
    explicit Args(std::vector<std::string> words) : words_(std::move(words)) {}
    bool Empty() const { return at_ >= words_.size(); }
    size_t Left() const { return words_.size() - at_; }
    const std::string &Peek() const { return words_[at_]; }
    std::string Next() { return words_[at_++]; }
    // The value of an option just read (its name for the message).
    std::string Value(const std::string &option);
    std::vector<std::string> Rest();

private:
    std::vector<std::string> words_;
    size_t at_ = 0;
};

// "512M", "2G", "1048576": a size in bytes (K, M, G, T are powers of 1024); false for
// anything else.
bool ParseSize(const std::string &text, uint64_t *bytes);
// 1536 -> "1.5 KiB", 1073741824 -> "1 GiB".
std::string SizeText(uint64_t bytes);
// A plain decimal number of seconds, 0 to max: "5", "0.5".
bool ParseSeconds(const std::string &text, double max, double *seconds);

#endif

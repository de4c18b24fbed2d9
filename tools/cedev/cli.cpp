#include "cli.h"
#include "text.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

void Fail(const std::string &message, int code)
{
    throw Failure{code, message, false};
}

void UsageError(const std::string &message)
{
    throw Failure{kExitUsage, message, true};
}

std::string OneLine(const std::string &message)
{
    std::string escaped, carry;
    EscapeText(message, TextMode::Text, true, &carry, &escaped);
    std::string line;
    for (char c : escaped)
        line += c == '\n' ? std::string("\\n") : c == '\t' ? std::string("\\t") : std::string(1, c);
    return line;
}

void Say(const std::string &message)
{
    fflush(stdout);
    fprintf(stderr, "cedev: %s\n", OneLine(message).c_str());
}

std::string Args::Value(const std::string &option)
{
    if (Empty())
        UsageError(option + " needs a value");
    return Next();
}

std::vector<std::string> Args::Rest()
{
    std::vector<std::string> rest(words_.begin() + at_, words_.end());
    at_ = words_.size();
    return rest;
}

bool ParseSize(const std::string &text, uint64_t *bytes)
{
    if (text.empty() || text.size() > 24)
        return false;
    size_t digits = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9')
        ++digits;
    if (!digits)
        return false;
    uint64_t unit = 1;
    std::string suffix = text.substr(digits);
    if (suffix == "K" || suffix == "k" || suffix == "KiB")
        unit = 1ULL << 10;
    else if (suffix == "M" || suffix == "MiB")
        unit = 1ULL << 20;
    else if (suffix == "G" || suffix == "GiB")
        unit = 1ULL << 30;
    else if (suffix == "T" || suffix == "TiB")
        unit = 1ULL << 40;
    else if (!suffix.empty())
        return false;
    uint64_t n = strtoull(text.substr(0, digits).c_str(), nullptr, 10);
    if (n > UINT64_MAX / unit / 2)
        return false;
    *bytes = n * unit;
    return true;
}

std::string SizeText(uint64_t bytes)
{
    const char *units[] = {"bytes", "KiB", "MiB", "GiB", "TiB"};
    int u = 0;
    double v = static_cast<double>(bytes);
    while (v >= 1024 && u < 4 && bytes % 1024 == 0) {
        v /= 1024;
        bytes /= 1024;
        ++u;
    }
    while (v >= 1024 && u < 4) {
        v /= 1024;
        ++u;
    }
    char buf[32];
    if (v == std::floor(v))
        snprintf(buf, sizeof(buf), "%.0f %s", v, units[u]);
    else
        snprintf(buf, sizeof(buf), "%.1f %s", v, units[u]);
    return buf;
}

bool ParseSeconds(const std::string &text, double max, double *seconds)
{
    size_t i = 0, digits = 0;
    while (i < text.size() && isdigit(static_cast<unsigned char>(text[i])))
        ++i, ++digits;
    if (i < text.size() && text[i] == '.') {
        ++i;
        size_t frac = 0;
        while (i < text.size() && isdigit(static_cast<unsigned char>(text[i])))
            ++i, ++frac;
        if (!frac)
            return false;
    }
    if (!digits || i != text.size() || text.size() > 12)
        return false;
    double v = strtod(text.c_str(), nullptr);
    if (v > max)
        return false;
    *seconds = v;
    return true;
}

// The command line of mqadmin: its global options, read before the command word, and each
// command with its own options, read among the command's operands (mqadmin.cpp reads them
// with common/cmdline.h; the tests hold them against --help and the manual page).
#pragma once

#include "common/cmdline.h"

#include <span>

namespace mqadmin {

inline constexpr cmdline::Option GLOBAL_OPTIONS[] = {
    {"dir", 0, "a directory"},
    {"help", 'h', nullptr},
};

inline constexpr cmdline::Option HELP_ONLY[] = {{"help", 'h', nullptr}};
inline constexpr cmdline::Option CREATE_QM_OPTIONS[] = {
    {"postgres", 0, "a value"},
    {"help", 'h', nullptr},
};
inline constexpr cmdline::Option DELETE_QM_OPTIONS[] = {
    {"force", 0, nullptr},
    {"help", 'h', nullptr},
};
inline constexpr cmdline::Option DEFINE_Q_OPTIONS[] = {
    {"priority", 0, "a value"},
    {"persistence", 0, "a value"},
    {"max-length", 0, "a value"},
    {"help", 'h', nullptr},
};
inline constexpr cmdline::Option DELETE_Q_OPTIONS[] = {
    {"purge", 0, nullptr},
    {"help", 'h', nullptr},
};
inline constexpr cmdline::Option PUT_OPTIONS[] = {
    {"text", 0, "a value"},        {"file", 0, "a value"},     {"reply-to", 0, "a value"},
    {"reply-to-qm", 0, "a value"}, {"priority", 0, "a value"}, {"correl-id", 0, "a value"},
    {"format", 0, "a value"},      {"help", 'h', nullptr},
};
inline constexpr cmdline::Option BROWSE_OPTIONS[] = {
    {"descriptor", 0, nullptr},
    {"limit", 0, "a value"},
    {"help", 'h', nullptr},
};
inline constexpr cmdline::Option GET_OPTIONS[] = {
    {"descriptor", 0, nullptr},
    {"wait", 0, "a value"},
    {"all", 0, nullptr},
    {"help", 'h', nullptr},
};

struct Command {
    const char *name;
    std::span<const cmdline::Option> options;
};

inline constexpr Command COMMANDS[] = {
    {"create-qm", CREATE_QM_OPTIONS},
    {"delete-qm", DELETE_QM_OPTIONS},
    {"list-qm", HELP_ONLY},
    {"define-q", DEFINE_Q_OPTIONS},
    {"delete-q", DELETE_Q_OPTIONS},
    {"list-q", HELP_ONLY},
    {"put", PUT_OPTIONS},
    {"browse", BROWSE_OPTIONS},
    {"get", GET_OPTIONS},
    {"directory", HELP_ONLY},
};

} // namespace mqadmin

/*
 * The broker log and the message catalogues of the stand-in broker.
 *
 * cciLog entries, and the broker's own entries, are written as one line each to the log
 * destination (standard error unless the runtime sets a stream or a file), with the
 * catalogue text of their message source and number when a catalogue knows it and always
 * with the raw fields. Hooks (used by tests) see every entry. A catalogue is a file
 * <messageSource>.txt: one message per line, "<number> <text>", %1, %2... standing for
 * the inserts, "%%" for a percent sign, '#' starting a comment line.
 *
 * Owns the destination, the hooks and the catalogue cache, each behind one lock.
 */
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dlfcn.h>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

#include "broker/internal.h"
#include "broker/text.h"

#ifndef TREVANE_CATALOGUE_RELATIVE_DIR
#define TREVANE_CATALOGUE_RELATIVE_DIR "../share/trevane/catalogues"
#endif

namespace broker {

namespace {

struct LogState {
    std::mutex mutex;
    // Held while hooks run and while hooks are added or removed, so that a hook is never
    // called after removeLogHook returned. Recursive: a hook may write to the log.
    std::recursive_mutex hookMutex;
    FILE *stream = nullptr; /* null: standard error */
    bool ownsStream = false;
    int nextHook = 1;
    std::vector<std::pair<int, LogHook>> hooks;
};

LogState &logState() {
    static LogState *state = new LogState();
    return *state;
}

struct Catalogues {
    std::mutex mutex;
    std::string directory;
    bool directorySet = false;
    std::map<std::string, std::map<int, std::string>, std::less<>> loaded;
};

Catalogues &catalogues() {
    static Catalogues *state = new Catalogues();
    return *state;
}

/* The catalogues of the installation this library belongs to, found from the directory
   the library was loaded from (<libdir>/../share/trevane/catalogues), so that a tree
   installed under any prefix, moved or unpacked anywhere finds them. The library in its
   build tree reads the source tree's catalogues instead. */
std::string installedDirectory() {
    Dl_info info{};
    if (::dladdr(reinterpret_cast<const void *>(&installedDirectory), &info) == 0 ||
        info.dli_fname == nullptr) {
        return {};
    }
    std::string library = info.dli_fname;
    if (char *real = ::realpath(info.dli_fname, nullptr)) {
        library = real;
        std::free(real);
    }
    size_t slash = library.rfind('/');
    std::string directory = slash == std::string::npos ? "." : library.substr(0, slash);
#if defined(TREVANE_BUILD_LIBRARY_DIR) && defined(TREVANE_BUILD_CATALOGUE_DIR)
    if (directory == TREVANE_BUILD_LIBRARY_DIR) {
        return TREVANE_BUILD_CATALOGUE_DIR;
    }
#endif
    return directory + "/" + TREVANE_CATALOGUE_RELATIVE_DIR;
}

std::string defaultDirectory() {
    const char *fromEnvironment = std::getenv("TREVANE_CATALOGUE_PATH");
    if (fromEnvironment != nullptr && fromEnvironment[0] != '\0') {
        return fromEnvironment;
    }
    return installedDirectory();
}

std::map<int, std::string> readCatalogue(const std::string &path) {
    std::map<int, std::string> texts;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos || line[start] == '#') {
            continue;
        }
        size_t end = start;
        while (end < line.size() && line[end] >= '0' && line[end] <= '9') {
            ++end;
        }
        if (end == start || end - start > 9) {
            continue; // not a message line
        }
        int number = std::atoi(line.substr(start, end - start).c_str());
        size_t text = line.find_first_not_of(" \t", end);
        texts[number] = text == std::string::npos ? "" : line.substr(text);
    }
    return texts;
}

std::string fillInserts(const std::string &text, const std::vector<std::string> &inserts) {
    std::string out;
    out.reserve(text.size() + 32);
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%' || i + 1 >= text.size()) {
            out.push_back(text[i]);
            continue;
        }
        if (text[i + 1] == '%') {
            out.push_back('%');
            ++i;
            continue;
        }
        size_t j = i + 1;
        size_t index = 0;
        while (j < text.size() && j < i + 4 && text[j] >= '0' && text[j] <= '9') {
            index = index * 10 + static_cast<size_t>(text[j] - '0');
            ++j;
        }
        if (j == i + 1 || index == 0 || index > inserts.size()) {
            out.append(text, i, j - i); // no such insert: keep the marker visible
        } else {
            out += inserts[index - 1];
        }
        i = j - 1;
    }
    return out;
}

const char *severityName(int logType) {
    switch (logType) {
    case CCI_LOG_ERROR:
        return "ERROR";
    case CCI_LOG_WARNING:
        return "WARNING";
    case CCI_LOG_INFORMATION:
        return "INFO";
    default:
        return "LOG";
    }
}

std::string timestamp() {
    auto now = std::chrono::system_clock::now();
    std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    std::tm parts{};
    gmtime_r(&seconds, &parts);
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", parts.tm_year + 1900,
                  parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec,
                  static_cast<int>(millis));
    return text;
}

// Control characters in a field would break the one-line-per-entry form.
std::string oneLine(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        out.push_back(c == '\n' || c == '\r' ? ' ' : c);
    }
    return out;
}

} // namespace

void setCatalogueDirectory(const std::string &directory) {
    Catalogues &c = catalogues();
    std::lock_guard lock(c.mutex);
    c.directory = directory;
    c.directorySet = true;
    c.loaded.clear();
}

std::string catalogueText(std::string_view messageSource, int messageNumber,
                          const std::vector<std::string> &inserts) {
    if (messageSource.empty() || messageSource.find('/') != std::string_view::npos ||
        messageSource.find("..") != std::string_view::npos) {
        return {};
    }
    std::string text;
    {
        Catalogues &c = catalogues();
        std::lock_guard lock(c.mutex);
        auto found = c.loaded.find(messageSource);
        if (found == c.loaded.end()) {
            std::string directory = c.directorySet ? c.directory : defaultDirectory();
            found =
                c.loaded
                    .emplace(std::string(messageSource),
                             readCatalogue(directory + "/" + std::string(messageSource) + ".txt"))
                    .first;
        }
        auto message = found->second.find(messageNumber);
        if (message == found->second.end()) {
            return {};
        }
        text = message->second;
    }
    return fillInserts(text, inserts);
}

void setLogStream(FILE *stream) {
    LogState &s = logState();
    std::lock_guard lock(s.mutex);
    if (s.ownsStream && s.stream != nullptr) {
        std::fclose(s.stream);
    }
    s.stream = stream;
    s.ownsStream = false;
}

void setLogFile(const std::string &path) {
    FILE *file = std::fopen(path.c_str(), "a");
    if (file == nullptr) {
        throw Error("cannot open the log file '" + path + "': " + std::strerror(errno));
    }
    LogState &s = logState();
    std::lock_guard lock(s.mutex);
    if (s.ownsStream && s.stream != nullptr) {
        std::fclose(s.stream);
    }
    s.stream = file;
    s.ownsStream = true;
}

int addLogHook(LogHook hook) {
    LogState &s = logState();
    std::lock_guard hooksLock(s.hookMutex);
    std::lock_guard lock(s.mutex);
    int id = s.nextHook++;
    s.hooks.emplace_back(id, std::move(hook));
    return id;
}

void removeLogHook(int id) {
    LogState &s = logState();
    std::lock_guard hooksLock(s.hookMutex);
    std::lock_guard lock(s.mutex);
    std::erase_if(s.hooks, [id](const auto &h) { return h.first == id; });
}

std::string formatLogLine(const LogEntry &entry) {
    std::ostringstream line;
    line << timestamp() << ' ' << severityName(entry.logType) << ' ' << entry.messageSource << ' '
         << entry.messageNumber << ' ' << (entry.function.empty() ? "-" : entry.function) << " ("
         << (entry.file.empty() ? "-" : entry.file) << ':' << entry.line << "): ";
    line << oneLine(entry.catalogueText.empty() ? entry.traceText : entry.catalogueText);
    line << " | trace: \"" << oneLine(entry.traceText) << "\" | inserts:";
    for (const std::string &insert : entry.inserts) {
        line << " \"" << oneLine(insert) << '"';
    }
    return line.str();
}

void writeLog(LogEntry entry) {
    if (entry.catalogueText.empty()) {
        entry.catalogueText =
            catalogueText(entry.messageSource, entry.messageNumber, entry.inserts);
    }
    std::string line = formatLogLine(entry);
    LogState &s = logState();
    {
        std::lock_guard lock(s.mutex);
        FILE *out = s.stream != nullptr ? s.stream : stderr;
        std::fprintf(out, "%s\n", line.c_str());
        std::fflush(out);
    }
    std::lock_guard hooksLock(s.hookMutex);
    std::vector<LogHook> hooks;
    {
        std::lock_guard lock(s.mutex);
        for (const auto &h : s.hooks) {
            hooks.push_back(h.second);
        }
    }
    for (const LogHook &hook : hooks) {
        hook(entry);
    }
}

} // namespace broker

extern "C" void cciLog(int *returnCode, int logType, const char *file, int line,
                       const char *function, const CciChar *messageSource, int messageNumber,
                       const char *traceText, ...) {
    broker::LogEntry entry;
    entry.logType = logType;
    entry.file = file == nullptr ? "" : file;
    entry.line = line;
    entry.function = function == nullptr ? "" : function;
    entry.messageSource = broker::toUtf8(broker::view16(messageSource));
    entry.messageNumber = messageNumber;
    entry.traceText = traceText == nullptr ? "" : traceText;
    va_list args;
    va_start(args, traceText);
    for (int i = 0; i < 64; ++i) { // a list without its null is cut, not read without end
        const char *insert = va_arg(args, const char *);
        if (insert == nullptr) {
            break;
        }
        entry.inserts.emplace_back(insert);
    }
    va_end(args);
    try {
        broker::writeLog(std::move(entry));
    } catch (...) {
        // A hook that throws must not unwind into the plug-in's frames.
        if (returnCode != nullptr) {
            *returnCode = CCI_FAILURE;
        }
        return;
    }
    if (returnCode != nullptr) {
        *returnCode = CCI_SUCCESS;
    }
}

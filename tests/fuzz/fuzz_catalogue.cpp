// Fuzz target: the message-catalogue reader. The input is written as a catalogue file in a
// private directory and read as the broker reads catalogues; the texts of the numbers its
// lines name (and a few others) are filled with inserts. Each must come out without
// reading past anything, and a text without markers must come out unchanged.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "broker/host.h"

namespace {

char directory[] = "/tmp/fuzz_catalogue.XXXXXX";
std::string file;

std::vector<int> numbersNamed(const std::string &text) {
    std::vector<int> numbers{0, 1, 2, 12, 999999999};
    size_t start = 0;
    while (start < text.size() && numbers.size() < 64) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        const std::string line = text.substr(start, end - start);
        const size_t first = line.find_first_not_of(" \t");
        if (first != std::string::npos) {
            numbers.push_back(std::atoi(line.c_str() + first));
        }
        start = end + 1;
    }
    return numbers;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    if (mkdtemp(directory) == nullptr) {
        perror("fuzz_catalogue: private directory");
        abort();
    }
    file = std::string(directory) + "/FuzzCatalogue.txt";
    atexit([] {
        unlink(file.c_str());
        rmdir(directory);
    });
    broker::setLogStream(fopen("/dev/null", "w"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 65536) {
        return 0;
    }
    const std::string text(reinterpret_cast<const char *>(data), size);
    FILE *out = fopen(file.c_str(), "wb");
    if (out == nullptr || fwrite(data, 1, size, out) != size || fclose(out) != 0) {
        perror("fuzz_catalogue: writing the catalogue");
        abort();
    }
    broker::setCatalogueDirectory(directory); // forgets the catalogue read before
    const std::vector<std::string> none;
    const std::vector<std::string> inserts{"first", "%2", "", "%%", "x%1y"};
    for (int number : numbersNamed(text)) {
        const std::string plain = broker::catalogueText("FuzzCatalogue", number, none);
        const std::string filled = broker::catalogueText("FuzzCatalogue", number, inserts);
        if (plain.find('%') == std::string::npos && plain != filled) {
            fprintf(stderr, "text %d without markers changed: '%s' -> '%s'\n", number,
                    plain.c_str(), filled.c_str());
            abort();
        }
        if (plain.find('\n') != std::string::npos) {
            fprintf(stderr, "text %d holds a line end: '%s'\n", number, plain.c_str());
            abort();
        }
    }
    // Names that must never be read as files.
    for (const char *source : {"../FuzzCatalogue", "", "a/b", ".."}) {
        if (!broker::catalogueText(source, 1, none).empty()) {
            abort();
        }
    }
    return 0;
}

// Writes the seed corpus of the fuzz targets: real serialised buffers of a few trees
// (binary mode for fuzz_inflate, text mode for fuzz_xmlrender), one file each.
//   make_fuzz_corpus <corpus directory>   (writes <dir>/fuzz_inflate, <dir>/fuzz_xmlrender)
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>

#include "broker/host.h"
#include "tests/support/support.h"
#include "trace/retcodes.h"
#include "trevane/cni.h"
#include "utilities/serialise.h"

namespace {

bool writeFile(const std::string &path, const void *data, int length) {
    FILE *file = fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    const bool ok =
        fwrite(data, 1, static_cast<size_t>(length), file) == static_cast<size_t>(length);
    return fclose(file) == 0 && ok;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 2 || std::string(argv[1]) == "--help") {
        fprintf(stderr, "usage: %s <corpus directory>\n", argv[0]);
        return argc == 2 ? 0 : 2;
    }
    const std::string top = argv[1];
    mkdir(top.c_str(), 0755);
    const char *const trees[] = {
        "abc='42'",
        "a('t', b='v')",
        "doc(order(@id='7', item('book', price=12.5, count=3), note='<&>'), flag=TRUE)",
        "r(d=D'2002-03-04', t=T'09:05:07.5', ts=TS'2002-03-04 09:05:07.5', n=-5000000000)",
        "x(bytes=X'00ab10', bits=B'0f', dec=DEC'1.25', e(f(g('deep'))))",
        "t(text='caf\xc3\xa9 \xe2\x82\xac', real=2.5e-3, gt=GT'23:59:59', v[VALUE])",
        "XML([DTD](inner), body(a, b('1'), c='2'))",
    };
    testsupport::MessageScope scope;
    int index = 0;
    for (const char *tree : trees) {
        CciElement *root = nullptr;
        int rc = 0;
        root = cniRootElement(&rc, scope.message(tree));
        CciElement *start = cniFirstChild(&rc, root);
        for (int mode = 0; mode < 2; ++mode) {
            const std::string directory = top + (mode == 0 ? "/fuzz_inflate" : "/fuzz_xmlrender");
            mkdir(directory.c_str(), 0755);
            void *buffer = nullptr;
            int length = 0;
            if (serialiseSyntaxElements(start, mode == 1 ? TRUE : FALSE, TRUE, &buffer, &length) !=
                TT_SUCCESS) {
                fprintf(stderr, "make_fuzz_corpus: tree %d does not serialise in %s mode\n", index,
                        mode == 1 ? "text" : "binary");
                continue;
            }
            const std::string path = directory + "/seed" + std::to_string(index);
            if (!writeFile(path, buffer, length)) {
                fprintf(stderr, "make_fuzz_corpus: cannot write %s\n", path.c_str());
                free(buffer);
                return 1;
            }
            free(buffer);
        }
        ++index;
    }
    return 0;
}

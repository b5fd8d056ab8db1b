// Times the language server's project scan (lsp::scan_project) over a tree
// the generator wrote: prints "<files> <main sources> <seconds>", the median
// of REPS scans.  Linked with the program's objects by run.sh.
//
//   scan_bench FOLDER REPS
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "lsp/lsp.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: scan_bench FOLDER REPS\n");
        return 2;
    }
    std::vector<double> times;
    lsp::Scan scan;
    for (int i = 0; i < std::max(1, std::atoi(argv[2])); ++i) {
        auto t = std::chrono::steady_clock::now();
        scan = lsp::scan_project(argv[1], {});
        times.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count());
    }
    std::sort(times.begin(), times.end());
    std::printf("%zu %zu %.6f\n", scan.files, scan.mains.size(), times[times.size() / 2]);
    return 0;
}

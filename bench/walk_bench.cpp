// The folder walk against find(1): 100,000 files in nested folders, walked
// twice as the queue pass does (count, then collect into an array of the
// count), against `find DIR -type f | wc -l` run twice. Prints
//
//   walk-100k ratio=OURS/THEIRS ours=<s>s theirs=<s>s
//
// with the median of five rounds of each (the first of our rounds also
// fills the reference path table; it is shown on standard error).
#include "app/DropIntake.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kFanOut = 10;          // folders per level, three levels
constexpr int kFilesPerFolder = 100; // in each of the 1,000 deepest folders
constexpr long kFiles = long(kFanOut) * kFanOut * kFanOut * kFilesPerFolder;
constexpr int kRounds = 5;

double Now() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

bool MakeFiles(const std::string& root) {
    for (int a = 0; a < kFanOut; ++a) {
        const std::string pa = root + "/level1-" + std::to_string(a);
        if (mkdir(pa.c_str(), 0755) != 0) return false;
        for (int b = 0; b < kFanOut; ++b) {
            const std::string pb = pa + "/level2-" + std::to_string(b);
            if (mkdir(pb.c_str(), 0755) != 0) return false;
            for (int c = 0; c < kFanOut; ++c) {
                const std::string pc = pb + "/level3-" + std::to_string(c);
                if (mkdir(pc.c_str(), 0755) != 0) return false;
                const int dir = open(pc.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
                if (dir < 0) return false;
                for (int f = 0; f < kFilesPerFolder; ++f) {
                    const std::string name = "document-" + std::to_string(f) + ".txt";
                    const int fd = openat(dir, name.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
                    if (fd < 0) {
                        close(dir);
                        return false;
                    }
                    close(fd);
                }
                close(dir);
            }
        }
    }
    return true;
}

// Count and collect, as the queue pass expands a folder; the files collected.
long OurWalks(const FSRef& folder) {
    gNbrFilesToBeProcessed = gNbrFilesProcessed = 0;
    gWhichFilter = kWalkCount;
    if (WalkFolder(&folder) != noErr) return -1;
    std::unique_ptr<FSRef[]> files(new FSRef[size_t(gNbrFilesToBeProcessed)]);
    gFSRefArray = files.get();
    gWhichFilter = kWalkCollect;
    const OSErr err = WalkFolder(&folder);
    gFSRefArray = nullptr;
    if (err != noErr || gNbrFilesProcessed != gNbrFilesToBeProcessed) return -1;
    return gNbrFilesProcessed;
}

long FindWalks(const std::string& root) {
    const std::string command = "find '" + root + "' -type f | wc -l";
    long last = -1;
    for (int i = 0; i < 2; ++i) {
        FILE* p = popen(command.c_str(), "r");
        if (!p) return -1;
        if (std::fscanf(p, "%ld", &last) != 1) last = -1;
        if (pclose(p) != 0) return -1;
    }
    return last;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/walk-bench.XXXXXX";
    if (!mkdtemp(pattern.data())) {
        std::perror("walk_bench: mkdtemp");
        return 2;
    }
    const std::string root = pattern;
    struct Cleanup {
        std::string path;
        ~Cleanup() {
            std::error_code ec;
            std::filesystem::remove_all(path, ec);
        }
    } cleanup{root};

    std::fprintf(stderr, "walk-100k: making %ld files in %s\n", kFiles, root.c_str());
    if (!MakeFiles(root)) {
        std::perror("walk_bench: making the files");
        return 2;
    }
    FSRef folder;
    if (FSPathMakeRef(root.c_str(), &folder, nullptr) != noErr) return 2;

    std::vector<double> ours, theirs;
    for (int round = 0; round < kRounds; ++round) {
        double t0 = Now();
        const long found = FindWalks(root);
        theirs.push_back(Now() - t0);
        t0 = Now();
        const long walked = OurWalks(folder);
        ours.push_back(Now() - t0);
        if (found != kFiles || walked != kFiles) {
            std::fprintf(stderr, "walk_bench: find saw %ld files, the walk %ld, of %ld\n", found,
                         walked, kFiles);
            return 1;
        }
    }
    std::fprintf(stderr, "walk-100k: first round (path table filled) ours=%.3fs\n", ours[0]);
    const double o = Median(ours), t = Median(theirs);
    std::printf("walk-100k ratio=%.2f ours=%.3fs theirs=%.3fs\n", o / t, o, t);
    return 0;
}

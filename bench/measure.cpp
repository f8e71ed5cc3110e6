// Runs a command repeatedly and reports the median wall time, the median CPU time (user and
// system) and the peak resident memory of the child. Output: one line of key=value pairs.
//   measure RUNS command [arguments...]
#include <sys/resource.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: measure RUNS command [arguments...]\n");
        return 2;
    }
    const int runs = std::atoi(argv[1]);
    std::vector<double> walls;
    std::vector<double> cpus;
    long peakKb = 0;
    int lastStatus = 0;
    for (int i = 0; i < runs; ++i) {
        const auto start = std::chrono::steady_clock::now();
        const pid_t child = fork();
        if (child == 0) {
            const int null = open("/dev/null", O_RDWR);
            dup2(null, STDIN_FILENO);
            dup2(null, STDOUT_FILENO);
            execvp(argv[2], argv + 2);
            _exit(127);
        }
        int status = 0;
        rusage usage{};
        wait4(child, &status, 0, &usage);
        walls.push_back(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        cpus.push_back(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
                       (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6);
        peakKb = std::max(peakKb, usage.ru_maxrss);
        lastStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::printf("wall_ms=%.2f cpu_ms=%.2f cpu_share=%.2f%% peak_rss_kb=%ld status=%d\n",
                median(walls) * 1000, median(cpus) * 1000, 100 * median(cpus) / median(walls),
                peakKb, lastStatus);
    return 0;
}

#include <windows.h>

#include <algorithm>
#include <cstdio>

#include "tools/bench/bench.h"

namespace pelorin::setup::bench {

double TimeSeconds(const std::function<void()>& work) {
    LARGE_INTEGER frequency;
    LARGE_INTEGER start;
    LARGE_INTEGER end;
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&start);
    work();
    ::QueryPerformanceCounter(&end);
    return static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
}

double Median(std::vector<double> values) {
    if (values.empty()) {
        return 0.0;
    }
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2.0;
}

void Report::Section(const std::string& name, const std::string& description) {
    std::printf("\n%s: %s\n", name.c_str(), description.c_str());
}

void Report::Time(const std::string& label, double seconds) {
    std::printf("  %-44s %9.3f s\n", label.c_str(), seconds);
}

void Report::Rate(const std::string& label, double mebibytesPerSecond) {
    std::printf("  %-44s %9.1f MiB/s\n", label.c_str(), mebibytesPerSecond);
}

void Report::Ratio(const std::string& label, double ratio, double target) {
    const bool met = ratio > 0.0 && ratio <= target;
    if (!met) {
        ++missed_;
    }
    std::printf("  %-44s %9.3f    (target at most %.2f: %s)\n", label.c_str(), ratio, target,
                met ? "met" : "NOT MET");
    std::fflush(stdout);
}

void Report::Note(const std::string& text) {
    std::printf("  %s\n", text.c_str());
}

}  // namespace pelorin::setup::bench

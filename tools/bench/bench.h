// The benchmark program's small framework: a work folder, a clock, medians
// and a report that prints every figure as a ratio or a rate measured side by
// side in the same run, so that the speed of the machine cancels out.
//
// To add a measurement: write a function `void RunSomething(Context&)` in a
// file of its own, declare it below and add it to the table in bench_main.cpp.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace pelorin::setup::bench {

// Seconds taken by `work`, from the high-resolution counter.
double TimeSeconds(const std::function<void()>& work);

double Median(std::vector<double> values);

// Where a measurement prints its figures.
class Report {
public:
    // Opens a section for one measurement.
    void Section(const std::string& name, const std::string& description);
    void Time(const std::string& label, double seconds);
    void Rate(const std::string& label, double mebibytesPerSecond);
    // A ratio of measured to bare cost, with the target it must not exceed.
    void Ratio(const std::string& label, double ratio, double target);
    void Note(const std::string& text);

    int TargetsMissed() const noexcept { return missed_; }

private:
    int missed_ = 0;
};

// What every measurement gets.
struct Context {
    std::wstring workFolder;  // an empty folder of its own, removed afterwards
    int repetitions;          // runs of each variant; medians are reported
    Report& report;
};

// The measurements.
void RunHashFileBench(Context& context);

}  // namespace pelorin::setup::bench

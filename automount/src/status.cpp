// SPDX-License-Identifier: MIT
#include "status.h"

#include "failure.h"

#include <algorithm>
#include <array>
#include <cstdio>

namespace orva::automount {

namespace {

// A JSON string of TEXT, which printable() has made valid UTF-8 without
// control characters.
std::string jsonString(const std::string &text)
{
    std::string out = "\"";
    for (const char c : printable(text)) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + "\"";
}

} // namespace

std::string statusText(const std::vector<DeviceReport> &reports)
{
    if (reports.empty())
        return "no devices\n";
    using Row = std::array<std::string, 6>;
    std::vector<Row> rows{{"DEVICE", "ENTRY", "STATE", "STEP", "TYPE", "LABEL"}};
    for (const DeviceReport &report : reports)
        rows.push_back({printable("/dev/" + report.kernelName), printable(report.entry),
                        report.state, printable(report.step), printable(report.type),
                        printable(report.label)});
    std::array<std::size_t, 6> widths{};
    for (const Row &row : rows) {
        for (std::size_t i = 0; i < row.size(); ++i)
            widths[i] = std::max(widths[i], row[i].size());
    }
    std::string out;
    for (const Row &row : rows) {
        std::string line;
        for (std::size_t i = 0; i < row.size(); ++i)
            line += row[i] + std::string(widths[i] - row[i].size() + 2, ' ');
        line.erase(line.find_last_not_of(' ') + 1);
        out += line + "\n";
    }
    return out;
}

std::string statusJson(const std::vector<DeviceReport> &reports)
{
    std::string out = "{\"devices\": [";
    for (const DeviceReport &report : reports) {
        if (&report != &reports.front())
            out += ", ";
        out += "{\"device\": " + jsonString("/dev/" + report.kernelName) +
               ", \"entry\": " + jsonString(report.entry) +
               ", \"state\": " + jsonString(report.state) +
               ", \"step\": " + jsonString(report.step) + ", \"type\": " + jsonString(report.type) +
               ", \"source\": " + jsonString(report.source) +
               ", \"options\": " + jsonString(report.options) +
               ", \"label\": " + jsonString(report.label) + "}";
    }
    return out + "]}\n";
}

} // namespace orva::automount

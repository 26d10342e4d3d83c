// The matrix as a table: on a terminal, and as markdown for docs/RELIABILITY.md.
#include <string.h>
#include <sys/utsname.h>
#include <time.h>

#include <algorithm>
#include <fstream>
#include <thread>

#include "tests/faults/matrix.h"

namespace faults {

namespace {

struct Cells {
    std::string name, runs, seen, verified, time, cpu, fds, notes;
};

Cells CellsOf(const Row& row) {
    Cells cells;
    cells.name = row.name;
    cells.runs = std::to_string(row.runs);
    cells.seen = Join(row.seen);
    if (row.successes == 0) {
        cells.verified = "-";
    } else {
        cells.verified = std::to_string(row.verified) + "/" + std::to_string(row.successes);
        if (row.wrong > 0) cells.verified += " (" + std::to_string(row.wrong) + " WRONG)";
    }
    cells.time = Fixed(row.wallS, 2);
    cells.cpu = Fixed(row.jobCpuS, 3) + " / " + Fixed(row.cpuS, 3);
    cells.fds = std::to_string(row.fdsLeft);
    std::string notes = Join(row.notes);
    for (const std::string& figure : row.figures)
        notes += (notes.empty() ? "" : "; ") + figure;
    if (row.unexpected > 0) {
        notes =
            std::to_string(row.unexpected) + " UNEXPECTED" + (notes.empty() ? "" : "; ") + notes;
    }
    cells.notes = notes;
    return cells;
}

const char* const kHeadings[] = {"case",           "runs",   "results seen",
                                 "bytes verified", "time s", "CPU s job / all",
                                 "fds left open",  "notes"};

std::string Machine() {
    utsname name{};
    uname(&name);
    std::string cpu = "unknown CPU";
    std::ifstream info("/proc/cpuinfo");
    for (std::string line; std::getline(info, line);) {
        if (line.starts_with("model name")) {
            cpu = line.substr(line.find(':') + 2);
            break;
        }
    }
    return std::string(name.sysname) + " " + name.release + " " + name.machine + ", " + cpu + ", " +
           std::to_string(std::thread::hardware_concurrency()) + " CPUs";
}

std::string Today() {
    const time_t now = time(nullptr);
    tm utc{};
    gmtime_r(&now, &utc);
    char text[64];
    strftime(text, sizeof text, "%Y-%m-%d %H:%M UTC", &utc);
    return text;
}

}  // namespace

const char kLegend[] =
    "Results: 0 success, 1 cancelled, 2 image I/O error, 3 port I/O error, 4 image invalid, "
    "5 connect fail, 6 transfer fail, 7 update fail; \"1h\": the job still waited after the "
    "device had ended its transfer, and the bench cancelled it; \"t\": still running at the "
    "bound. Bytes verified: successes whose device holds exactly the image. CPU: the job's "
    "worker thread / the whole process (device thread included).";

std::string Header(const Matrix& matrix) {
    std::string header = std::string("faults ") + (matrix.Full() ? "--full" : "--short") +
                         ", seed " + std::to_string(matrix.options().seed) + ", " + Today() + ", " +
                         Machine();
    if (!matrix.LeftOut().empty()) {
        header += "\n\nLeft to --full (the 8-bit sum cannot promise these):";
        for (const std::string& name : matrix.LeftOut())
            header += " " + name + ";";
        header.pop_back();
    }
    return header;
}

void Matrix::Print(FILE* out) const {
    std::vector<Cells> all;
    for (const auto& row : rows_)
        all.push_back(CellsOf(*row));
    size_t width[7];
    for (int i = 0; i < 7; ++i)
        width[i] = strlen(kHeadings[i]);
    for (const Cells& c : all) {
        const std::string* cell[] = {&c.name, &c.runs, &c.seen, &c.verified,
                                     &c.time, &c.cpu,  &c.fds};
        for (int i = 0; i < 7; ++i)
            width[i] = std::max(width[i], cell[i]->size());
    }
    auto line = [&](const std::string* cell[8]) {
        for (int i = 0; i < 7; ++i) {
            const bool left = i == 0 || i == 2 || i == 3;
            fprintf(out, left ? "%-*s  " : "%*s  ", int(width[i]), cell[i]->c_str());
        }
        fprintf(out, "%s\n", cell[7]->c_str());
    };
    std::string heading[8];
    for (int i = 0; i < 8; ++i)
        heading[i] = kHeadings[i];
    const std::string* headingCells[8];
    for (int i = 0; i < 8; ++i)
        headingCells[i] = &heading[i];
    line(headingCells);
    for (const Cells& c : all) {
        const std::string* cell[8] = {&c.name, &c.runs, &c.seen, &c.verified,
                                      &c.time, &c.cpu,  &c.fds,  &c.notes};
        line(cell);
    }
}

bool Matrix::WriteMarkdown(const std::string& path, const std::string& header) const {
    FILE* out = fopen(path.c_str(), "w");
    if (out == nullptr) return false;
    fprintf(out, "%s\n\n", header.c_str());
    fprintf(out, "|");
    for (const char* heading : kHeadings)
        fprintf(out, " %s |", heading);
    fprintf(out, "\n|---|--:|---|---|--:|--:|--:|---|\n");
    for (const auto& row : rows_) {
        const Cells c = CellsOf(*row);
        std::string notes = c.notes;
        for (size_t at = 0; (at = notes.find('|', at)) != std::string::npos; at += 2)
            notes.replace(at, 1, "\\|");
        fprintf(out, "| %s | %s | %s | %s | %s | %s | %s | %s |\n", c.name.c_str(), c.runs.c_str(),
                c.seen.c_str(), c.verified.c_str(), c.time.c_str(), c.cpu.c_str(), c.fds.c_str(),
                notes.c_str());
    }
    const bool ok = ferror(out) == 0;
    return fclose(out) == 0 && ok;
}

}  // namespace faults

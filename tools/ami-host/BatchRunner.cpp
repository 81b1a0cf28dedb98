#include "tools/ami-host/BatchRunner.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <mutex>
#include <new>
#include <sstream>
#include <thread>

#include "tools/ami-host/LineReader.h"
#include "tools/ami-host/NumberText.h"

namespace amihost {

namespace {

std::string quoted(const std::string& s)
{
    std::string q = "\"";
    for (char c : s)
        q += c == '"' ? std::string("\"\"") : std::string(1, c);
    return q + "\"";
}

std::string mV(double volts)
{
    return NumberText::fixed(volts * 1e3, 1);
}

std::string padRight(const std::string& s, size_t width)
{
    return s.size() >= width ? s : s + std::string(width - s.size(), ' ');
}

std::string padLeft(const std::string& s, size_t width)
{
    return s.size() >= width ? s : std::string(width - s.size(), ' ') + s;
}

}  // namespace

bool BatchRunner::listFiles(const std::string& listOrDir, std::vector<std::string>& files, std::string& error)
{
    namespace fs = std::filesystem;
    files.clear();
    std::error_code ec;
    if (fs::is_directory(listOrDir, ec)) {
        for (fs::directory_iterator it(listOrDir, ec), end; !ec && it != end; it.increment(ec)) {
            const std::string name = it->path().filename().string();
            if (!name.empty() && name[0] != '.' && it->is_regular_file(ec))
                files.push_back(it->path().string());
        }
        if (ec) {
            error = "cannot list batch directory '" + listOrDir + "'";
            return false;
        }
        std::sort(files.begin(), files.end());
        if (files.empty()) {
            error = "batch directory '" + listOrDir + "' holds no files";
            return false;
        }
        return true;
    }
    LineReader in;
    if (!in.Open(listOrDir, "batch list", error))
        return false;
    const fs::path base = fs::path(listOrDir).parent_path();
    std::string line;
    while (in.Next(line, error)) {
        const size_t a = line.find_first_not_of(" \t\r");
        if (a == std::string::npos || line[a] == '#')
            continue;
        const std::string path = line.substr(a, line.find_last_not_of(" \t\r") - a + 1);
        files.push_back(fs::path(path).is_absolute() || base.empty() ? path : (base / path).string());
    }
    if (!error.empty())
        return false;
    if (files.empty()) {
        error = "batch list '" + listOrDir + "' names no files";
        return false;
    }
    return true;
}

BatchRow BatchRunner::runOne(const HostOptions& options, const AmiParameterFile& ami,
                             const AmiModelLibrary& lib, const std::string& file, const std::string& corner)
{
    BatchRow row;
    row.File = file;
    row.Corner = corner;
    try {
        HostOptions o = options;
        o.ChannelPath = file;
        if (!corner.empty())
            o.Overrides.emplace_back("CornerCase", corner);
        HostChannel ch;
        std::string parameters;
        if (!ami.BuildParameterString(o.Overrides, parameters, row.Error) ||
            !AmiHost::buildChannel(o, ch, row.Error))
            return row;
        const HostRunResult r = AmiHost::callModel(lib, ch, parameters);
        row.InputOk = true;
        row.InitReturn = r.Call.InitReturn;
        row.State = AmiHost::chosenState(r.Call.Message);
        row.Message = r.Call.Message;
        row.Before = r.Before.Metrics;
        row.After = r.After.Metrics;
    } catch (const std::bad_alloc&) {
        row.InputOk = false;
        row.Error = "out of memory";
    } catch (const std::exception& e) {
        row.InputOk = false;
        row.Error = e.what();
    }
    return row;
}

std::vector<BatchRow> BatchRunner::Run(const HostOptions& options, const AmiParameterFile& ami,
                                       const AmiModelLibrary& lib, const std::vector<std::string>& files,
                                       const std::vector<std::string>& corners) const
{
    const size_t perFile = std::max<size_t>(1, corners.size());
    const size_t total = files.size() * perFile;
    std::vector<BatchRow> rows(total);
    std::atomic<size_t> next(0);
    std::mutex progressLock;
    size_t done = 0, failed = 0;
    auto work = [&]() {
        for (;;) {
            const size_t i = next.fetch_add(1);
            if (i >= total)
                return;
            rows[i] = runOne(options, ami, lib, files[i / perFile],
                             corners.empty() ? std::string() : corners[i % perFile]);
            if (Progress != nullptr) {
                std::lock_guard<std::mutex> lock(progressLock);
                ++done;
                failed += !rows[i].InputOk || rows[i].InitReturn != 1 ? 1 : 0;
                *Progress << "\rbatch: " << done << "/" << total << " runs done"
                          << (failed ? ", " + std::to_string(failed) + " failed" : std::string())
                          << std::flush;
            }
        }
    };
    size_t threads = Jobs > 0 ? static_cast<size_t>(Jobs) : std::max(1u, std::thread::hardware_concurrency());
    threads = std::min(threads, total);
    std::vector<std::thread> pool;
    for (size_t t = 1; t < threads; ++t)
        pool.emplace_back(work);
    work();
    for (std::thread& t : pool)
        t.join();
    if (Progress != nullptr)
        *Progress << "\n" << std::flush;
    return rows;
}

std::string BatchRunner::status(const BatchRow& row)
{
    if (!row.InputOk)
        return row.Error;
    if (row.InitReturn == 1)
        return "ok";
    // The model's reason, its lines joined, so that the row stays one line.
    std::string text = "AMI_Init returned " + std::to_string(row.InitReturn);
    std::string line;
    std::istringstream lines(row.Message);
    bool first = true;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty())
            continue;
        text += (first ? ": " : " / ") + line;
        first = false;
    }
    return text;
}

bool BatchRunner::WriteCsv(const std::string& path, const std::vector<BatchRow>& rows, std::string& error)
{
    std::string text = "file,corner,ami_init_return,chosen_state,eye_height_before_V,eye_width_before_UI,"
                       "eye_height_after_V,eye_width_after_UI,status\n";
    auto metric = [](bool ok, const EyeMetrics& m, bool height) {
        return ok && m.Valid ? NumberText::format(height ? m.EyeHeight : m.EyeWidthUI) : std::string();
    };
    for (const BatchRow& r : rows) {
        text += quoted(r.File) + "," + r.Corner + "," +
                (r.InputOk ? std::to_string(r.InitReturn) : std::string()) + "," +
                (r.State >= 0 ? std::to_string(r.State) : std::string()) + "," +
                metric(r.InputOk, r.Before, true) + "," + metric(r.InputOk, r.Before, false) + "," +
                metric(r.InputOk, r.After, true) + "," + metric(r.InputOk, r.After, false) + "," +
                quoted(status(r)) + "\n";
    }
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) {
        error = "cannot write '" + path + "'";
        return false;
    }
    bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    ok = (std::fclose(f) == 0) && ok;
    if (!ok)
        error = "error writing '" + path + "'";
    return ok;
}

std::string BatchRunner::report(const std::vector<BatchRow>& rows)
{
    std::ostringstream rep;
    size_t width = 4;
    for (const BatchRow& r : rows)
        width = std::max(width, r.File.size());
    rep << "Eye of the through channel, peak distortion at the best phase: height [mV] / width [UI].\n\n";
    rep << padRight("file", width) << padLeft("corner", 8) << padLeft("state", 7) << padLeft("before", 16)
        << padLeft("after", 16) << "  status\n";
    size_t ok = 0;
    for (const BatchRow& r : rows) {
        auto eye = [&](const EyeMetrics& m) {
            return r.InputOk && m.Valid ? mV(m.EyeHeight) + "/" + NumberText::fixed(m.EyeWidthUI, 3)
                                        : std::string("n/a");
        };
        rep << padRight(r.File, width) << padLeft(r.Corner.empty() ? "-" : r.Corner, 8)
            << padLeft(r.State >= 0 ? std::to_string(r.State) : "-", 7) << padLeft(eye(r.Before), 16)
            << padLeft(eye(r.After), 16) << "  " << status(r) << "\n";
        ok += r.InputOk && r.InitReturn == 1 ? 1 : 0;
    }
    rep << "\n" << ok << " of " << rows.size() << " runs succeeded.\n";
    return rep.str();
}

}  // namespace amihost

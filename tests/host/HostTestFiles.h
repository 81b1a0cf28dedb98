// Scratch files for the host tool's tests.
#ifndef VM_TESTS_HOST_HOSTTESTFILES_H
#define VM_TESTS_HOST_HOSTTESTFILES_H

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace hosttest {

// A fresh directory per test, under the test framework's scratch directory.
inline std::string scratchDir()
{
    const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
    std::filesystem::path dir = std::filesystem::path(testing::TempDir()) / "ami-host-tests" /
                                (std::string(info->test_suite_name()) + "." + info->name());
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir.string();
}

inline std::string writeFile(const std::string& dir, const std::string& name, const std::string& text)
{
    const std::string path = (std::filesystem::path(dir) / name).string();
    std::ofstream f(path, std::ios::binary);
    f << text;
    return path;
}

inline std::string readFile(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

}  // namespace hosttest

#endif

// SPDX-License-Identifier: MIT
#include "directorychurner.h"

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace {

// Name patterns: the first three match the link prefixes of the churn
// configuration, "nvme" only raises the notification; the others must never
// get a link.
const char *const kPatterns[] = {"usb-sd", "mmc-",        "sd",   "nvme",
                                 "other",  ".usb-hidden", "USB-", "usb-x.label"};
constexpr int kPoolSize = 40;

bool endsWith(const std::string &text, const std::string &tail)
{
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

} // namespace

DirectoryChurner::DirectoryChurner(const std::string &directory, uint32_t seed)
    : m_directory(directory), m_random(seed)
{
}

std::string DirectoryChurner::pick(const std::vector<std::string> &names)
{
    return names[std::uniform_int_distribution<size_t>(0, names.size() - 1)(m_random)];
}

std::string DirectoryChurner::randomName()
{
    const int pattern = std::uniform_int_distribution<int>(0, std::size(kPatterns) - 1)(m_random);
    const int index = std::uniform_int_distribution<int>(0, kPoolSize - 1)(m_random);
    std::string name = kPatterns[pattern];
    // "usb-x.label" keeps its suffix: the number goes in front of it.
    if (endsWith(name, ".label"))
        return name.substr(0, name.size() - 6) + std::to_string(index) + ".label";
    return name + std::to_string(index);
}

std::vector<std::string> DirectoryChurner::entries() const
{
    std::vector<std::string> result;
    std::error_code error;
    for (const fs::directory_entry &entry : fs::directory_iterator(m_directory, error))
        result.push_back(entry.path().filename().string());
    return result;
}

void DirectoryChurner::burst(int count)
{
    for (int i = 0; i < count; ++i) {
        switch (std::uniform_int_distribution<int>(0, 9)(m_random)) {
        case 0:
        case 1:
        case 2:
            createDirectory();
            break;
        case 3:
        case 4:
            removeEntry();
            break;
        case 5:
            writeLabel();
            break;
        case 6:
            removeLabel();
            break;
        case 7:
            renameEntry();
            break;
        case 8:
            createFile();
            break;
        default:
            createLink();
            break;
        }
        ++m_operations;
    }
}

void DirectoryChurner::removeAll()
{
    std::error_code error;
    for (const std::string &name : entries()) {
        fs::remove_all(path(name), error);
        ++m_operations;
    }
}

void DirectoryChurner::makeDirectory(const std::string &name)
{
    std::error_code error;
    fs::create_directory(path(name), error);
    ++m_operations;
}

void DirectoryChurner::createDirectory()
{
    std::error_code error;
    fs::create_directory(path(randomName()), error);
}

void DirectoryChurner::removeEntry()
{
    const std::vector<std::string> names = entries();
    if (names.empty())
        return;
    std::error_code error;
    fs::remove_all(path(pick(names)), error);
}

void DirectoryChurner::writeLabel()
{
    std::ofstream label(path(randomName() + ".label"), std::ios::trunc);
    label << "Label \\x" << std::hex << (m_random() % 256) << " of a churned entry\n";
}

void DirectoryChurner::removeLabel()
{
    std::vector<std::string> labels;
    for (const std::string &name : entries())
        if (endsWith(name, ".label") && fs::is_regular_file(fs::symlink_status(path(name))))
            labels.push_back(name);
    if (labels.empty())
        return;
    std::error_code error;
    fs::remove(path(pick(labels)), error);
}

void DirectoryChurner::renameEntry()
{
    const std::vector<std::string> names = entries();
    if (names.empty())
        return;
    const std::string to = randomName();
    std::error_code error;
    if (!fs::exists(fs::symlink_status(path(to))))
        fs::rename(path(pick(names)), path(to), error);
}

void DirectoryChurner::createFile()
{
    std::ofstream file(path(randomName()));
}

void DirectoryChurner::createLink()
{
    std::vector<std::string> directories;
    for (const std::string &name : entries())
        if (fs::is_directory(fs::symlink_status(path(name))))
            directories.push_back(name);
    if (directories.empty())
        return;
    std::error_code error;
    // Relative, so that the link lists as a directory while its target lives.
    fs::create_directory_symlink(pick(directories), path(randomName()), error);
}

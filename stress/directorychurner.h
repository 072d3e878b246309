// SPDX-License-Identifier: MIT
// Random bursts of file-system operations on one directory: subdirectories
// that match the worker's prefixes and ones that do not, label files,
// renames, symbolic links to directories and plain files. Seeded, so a run
// can be repeated.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

class DirectoryChurner
{
public:
    DirectoryChurner(const std::string &directory, uint32_t seed);

    // Runs count random operations.
    void burst(int count);
    // Empties the directory.
    void removeAll();
    void makeDirectory(const std::string &name);

    long operations() const { return m_operations; }
    std::mt19937 &random() { return m_random; }

private:
    std::string pick(const std::vector<std::string> &names);
    std::string randomName();
    std::vector<std::string> entries() const;
    std::string path(const std::string &name) const { return m_directory + '/' + name; }

    void createDirectory();
    void removeEntry();
    void writeLabel();
    void removeLabel();
    void renameEntry();
    void createFile();
    void createLink();

    std::string m_directory;
    std::mt19937 m_random;
    long m_operations = 0;
};

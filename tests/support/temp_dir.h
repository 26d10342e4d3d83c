// A temporary directory for a test's files, removed with everything in it.
#pragma once

#include <string>
#include <vector>

class TempDir {
  public:
    TempDir();
    ~TempDir();
    const std::string& Path() const { return path_; }
    // Writes a file in the directory and returns its path.
    std::string Write(const std::string& name, const std::string& bytes) const;
    std::string File(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// `size` bytes of a repeatable pseudo-random pattern.
std::string PatternBytes(size_t size, unsigned seed = 1);

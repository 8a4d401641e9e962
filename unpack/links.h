// Symbolic links: captured during the walk, created after it.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

constexpr uint32_t kMaxLinks = 256;
constexpr uint32_t kMaxLinkTarget = 260;

struct LinkRecord {
  std::string dirName;                // the directory the link goes in, as the trace shows it
  std::vector<std::string> dirNames;  // the way there from the target directory
  std::string fileName;
  std::string type3FileName;  // the target text, as stored
};

extern std::array<std::unique_ptr<LinkRecord>, kMaxLinks> type3Link;
extern uint32_t cntType3;

// Empties the table, so that a harness can unpack several images in one process.
void ClearLinkTable();

// Records the link named name in the directory dirPath, reached from the
// target through dirNames, whose target is the size bytes at dataOffset.
void CaptureLink(const std::string& dirPath, const std::vector<std::string>& dirNames,
                 const std::string& name, uint64_t dataOffset, uint32_t size);

// Reads size bytes of target text at the image's current position.
void GetType3FileName(std::string& buffer, uint32_t size);

// Creates link index; 0 when it was created, 1 when not.
int ResolveLinkFile(uint32_t index);

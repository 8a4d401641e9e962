// What a run adds on standard error: a progress line while a long run's
// trace goes elsewhere, on a terminal only, and a hint when a run without
// --all stops at what --all would unpack, wherever standard error is not the
// trace's own file (StandardErrorIsSeparate). Standard output and the exit
// status never change.
#pragma once

#include <cstdint>
#include <string>

// Starts the clock of a run over an image of imageSize bytes. rerun is the
// command that unpacks the image with --all, and target the directory to
// remove first; rerun is empty when the run has --all.
void StartProgress(uint64_t imageSize, const std::string& rerun, const std::string& target);

// The walk has reached the entry whose header is at offset, shown as path.
void ShowProgress(uint64_t offset, const std::string& path);

// The run stops at something --all would unpack: says how to unpack it all.
void HintAll();

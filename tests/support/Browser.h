// Headless Chromium for tests of the pages the client writes and serves. Each run gets
// a fresh profile in a private temporary directory and its own process
// group, which is killed when the run ends, whatever the outcome.
#pragma once

#include <string>
#include <vector>

namespace vesktest {

// The Chromium program ($VESK_CHROMIUM, else Debian's chromium); empty when
// it is not installed.
std::string ChromiumPath();

// Loads a local HTML file, lets its scripts run and returns the DOM as
// Chromium serialises it then; empty when Chromium failed or took longer
// than timeoutMs.
std::string DumpDom(const std::string& htmlFile, int timeoutMs = 60000);

// Writes a PNG of the page as a width x height window shows it.
bool Screenshot(const std::string& htmlFile, const std::string& pngFile, int width, int height,
                int timeoutMs = 60000);

// Why the puppeteer-driven tests cannot run here (no node, no Chromium, or
// no puppeteer-core in tests/browser/node_modules); empty when they can.
std::string PuppeteerMissing();

// Runs tests/browser/explore.test.js with node on Chromium and args (URL,
// mode, ...); its stdout goes to outputFile, its stderr to outputFile.err.
// True when every check of the script held.
bool RunPuppeteer(const std::vector<std::string>& args, const std::string& outputFile, int timeoutMs = 300000);

}  // namespace vesktest

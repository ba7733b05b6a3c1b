// Helpers the quenza subcommands share: the version, the exit statuses of
// quenza page, number options that say what they expect, and the registry
// check that names the command which fills a missing registry.
#pragma once

#include <CLI/CLI.hpp>

#include <filesystem>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace qz::host {

inline constexpr std::string_view kQuenzaVersion = "1.0.0";

// What quenza page answers to the shell.
enum class PageExit : int {
  kRan = 0,         // the page ran and answered without a failure
  kUsage = 1,       // the command could not run the page (no such file, ...)
  kPageError = 2,   // the page failed: the host answered 500
  kChartError = 3,  // a render ended in the component's error answer
};

// A page error outweighs a failed render (the page's answer is then the
// error page, whatever a chart did before).
PageExit PageExitOf(int status, int chart_errors);

// A validator for whole-number options: the message names the range and the
// value given (CLI11 puts the option first: "--threads: wants a whole number
// from 0 to 1024, not 'x'").
CLI::Validator WholeNumber(long lo, long hi);

// The ProgIDs that the .asp pages under root create by name
// (Server.CreateObject("...") or new ActiveXObject("...")), in first-seen
// order, without repeats (letter case ignored).
std::vector<std::string> ProgIdsOfPages(const std::filesystem::path& root);
std::vector<std::string> ProgIdsOfPage(std::string_view text);

// The command that registers the component, for messages.
std::string RegisterCommand();

// Writes one warning line per problem with the registry for the given
// ProgIDs (a registry that is missing or empty, a class not registered in
// it), each naming the registry file and the command that fills it. Answers
// whether it wrote any; with no ProgIDs there is nothing to check. Never
// throws.
bool WarnAboutRegistry(std::ostream& out, std::string_view command,
                       const std::vector<std::string>& prog_ids);

}  // namespace qz::host

// Runs the built command-line host as a shell command and collects what it printed.
#pragma once

#include <sys/wait.h>

#include <cstdlib>
#include <string>

#include "support/build_paths.h"
#include "support/temp_folder.h"

namespace bw::testing {

struct CliRun {
    int status = -1;
    std::string out;
    std::string err;
};

// `prefix` (environment assignments) and `arguments` go around the program's path; its output
// passes through files in `folder`, and standard input is `input` (empty: none).
inline CliRun RunCli(const TempFolder& folder, const std::string& prefix,
                     const std::string& arguments, const std::string& input = "") {
    const std::string out = folder / "stdout", err = folder / "stderr";
    const std::string in = input.empty() ? std::string("/dev/null") : folder.Write("stdin", input);
    const std::string command =
        prefix + " " + BRACKWATER_CLI_PATH + " " + arguments + " >" + out + " 2>" + err + " <" + in;
    const int raw = std::system(command.c_str());
    CliRun result;
    result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    result.out = ReadFileBytes(out);
    result.err = ReadFileBytes(err);
    return result;
}

}  // namespace bw::testing

// The exit statuses of tallymere-cli, which scripts rely on (listed in --help and the README).
#pragma once

namespace remote {

inline constexpr int kExitDone = 0;
inline constexpr int kExitFailure = 1;        // a failure: a fatal error, a device folder that cannot be used
inline constexpr int kExitUsage = 2;          // the command line is wrong
inline constexpr int kExitDeviceBusy = 3;     // another program command holds the device
inline constexpr int kExitCancelled = 4;      // a restore that was not confirmed
inline constexpr int kExitInterrupted = 130;  // Ctrl-C or SIGTERM stopped the command

// The list for --help.
inline constexpr const char* kExitStatusHelp =
    "Exit status:\n"
    "  0    done\n"
    "  1    failure (the failure's caption and words are on standard error)\n"
    "  2    usage error\n"
    "  3    another program command holds the device (a running tallymere or watch carries\n"
    "       backup-all, export-all, restore, backup, export, settings and check out instead;\n"
    "       --wait waits for the device)\n"
    "  4    cancelled: a restore was not confirmed\n"
    "  130  interrupted by Ctrl-C or SIGTERM (what was done is kept)\n";

}  // namespace remote

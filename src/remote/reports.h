// How the command line reports the end of a program command with --json: one JSON object on
// standard output, whatever the outcome.
//
//   done         {"command":"backup-all","count":12,"result":"Message backup was successfull. (12 messages)",
//                 "status":0} (a restore adds "unreadable" before "status": the archived messages that
//                 could not be read)
//   interrupted  {"command":"backup-all","count":5,"done":40,"interrupted":true,
//                 "error":"Interrupted after 40 messages.","status":130}
//   otherwise    {"command":"restore extra","error":"Restore cancelled.","status":4}
//                (a fatal failure adds "caption", the failure box's caption)
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "shell/commands.h"

namespace remote {

// The command line's words for a command of the command table: "backup-all", "export-all",
// "restore normal", "restore extra", "backup", "export".
std::string CommandName(std::uint32_t command);

// The object for a command that ran: done, or stopped after `done` messages.
std::string ResultJson(const tallymere::CommandResult& result, std::uint32_t done);

// The object for a command that did not run, or failed. A failure whose words have a second
// line (its cause) gets the first as "error" and the rest as "cause".
std::string ErrorJson(std::string_view command, int status, std::string_view error, std::string_view caption = {});

// Reports the end of a program command that ran in this process (its result box already went
// to the port): with `json` prints its object, and an interrupted command's line on standard
// error. Returns the exit status (0, or 130 when interrupted).
int FinishCommand(const tallymere::CommandResult& result, bool json);

}  // namespace remote

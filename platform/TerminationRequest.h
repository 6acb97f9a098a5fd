#pragma once

namespace platform {

// For a stand-alone tool: turns the operating system's polite requests to end the process (POSIX:
// SIGINT, SIGTERM, SIGHUP; Windows: the console's Ctrl+C, Ctrl+Break and close events) into a flag
// that the tool's main loop polls, so it can shut down in order. Forced ends (SIGKILL,
// TerminateProcess) cannot be seen. POSIX: SIGPIPE is ignored as well, so a console whose reader has
// gone turns into a write error instead of ending the process.
// Returns false when the handlers could not be installed.
bool installTerminationRequestHandlers();

// True once a request has arrived.
bool terminationRequested();

} // namespace platform

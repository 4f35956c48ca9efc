// The command line's side of the control socket: `velmora --list`,
// `--start N`, `--stop N` talk to the instance that runs; `--version` and
// `--help` answer at once. None of them starts the application or needs a
// display.
#pragma once

class ControlClient
{
public:
    // True when the command line asks for one of the above.
    static bool handles(int argc, char **argv);
    // Runs it; the exit code (ControlServer::Result for the socket's requests).
    static int run(int argc, char **argv);
};

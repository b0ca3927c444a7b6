// The windowless run in a child process, so that the program's exit code comes back once the
// outputs are written: a thread that waits in the kernel on a file server that read a request
// and never answered cannot be ended by any signal, and a process holding such a thread cannot
// end either. The parent only waits for the child's report of its code, passing SIGINT and
// SIGTERM on to it; the held child alone stays until the server answers or its mount is
// detached. Parent side: the main thread before Qt exists.
#pragma once

// Forks. In the child returns -1: the caller goes on with the run and hands its code to
// reportRunCode. In the parent returns the exit code: the child's own when it ends soon after
// its report (or without one), else the code it reported. A child ended by a signal that was
// not passed on to it is a failure (1) named on standard error; after a passed-on signal the
// parent ends by that signal too. Without a child (fork failed) returns -1 as well, and the
// run goes on in this process.
int superviseWindowlessRun();

// In the child: tells the parent the run's exit code, which it returns.
int reportRunCode(int code);

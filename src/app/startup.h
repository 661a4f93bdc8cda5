// Program entry: the version and usage paths and the start-up sequence.
#pragma once

// Runs the program as main does; returns only on the version and usage paths
// (status 0). Start-up runs until the process is killed or a fatal path ends it.
int quorvane_main(int argc, char** argv);

// A thread body as the POSIX thread library takes it.
using ThreadBody = void* (*)(void*);

// Creates a thread with default attributes, neither joined nor detached: it
// runs body(argument) until the process ends. False when it could not be
// created.
bool start_thread(ThreadBody body, void* argument);

// Start-up's two threads: the polling thread on its PollingJob, then the GPS
// thread on its GpsJob. A thread that cannot be created ends the process
// (status 1) after its text, which is printed without a line end. start: the
// thread starter (tests replace it).
void start_worker_threads(ThreadBody polling, void* polling_job, ThreadBody gps, void* gps_job,
                          bool (*start)(ThreadBody, void*) = start_thread);

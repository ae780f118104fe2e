// files_bench.cpp - the client's file sharing alone, for bench/files_bench.sh: a sender that shares
// one file and prints its offer line, or a receiver that fetches the file one offer line names.
//
//   files_bench serve PATH ADDRESS   shares PATH as reached at ADDRESS; prints "OFFER <line>" once
//                                    the file is hashed, and serves until its input ends
//   files_bench fetch LINE           fetches what LINE offers into the Downloads folder
//                                    (XDG_DOWNLOAD_DIR); exit 0 once it is saved and checked
#include "client/core/sharing.h"
#include "platform/net.h"

#include <condition_variable>
#include <cstdlib>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <string>

int main(int argc, char **argv)
{
    if (argc < 3 || (std::string(argv[1]) == "serve" && argc < 4)) {
        std::fprintf(stderr, "usage: files_bench serve PATH ADDRESS | files_bench fetch LINE\n");
        return 2;
    }
    net_startup();
    const std::string mode = argv[1];
    std::mutex mu;
    std::condition_variable done_cv;
    bool done = false, saved = false;
    sharing_hooks hooks;
    hooks.note = [&](const std::string &text) {
        std::fprintf(stderr, "*** %s\n", text.c_str());
        if (text.compare(0, 13, "not fetching ") == 0) {  // refused: no transfer follows
            std::lock_guard<std::mutex> lock(mu);
            done = true;
            done_cv.notify_all();
        }
    };
    hooks.outcome = [&](const std::string &text) {
        std::fprintf(stderr, "*** %s\n", text.c_str());
        std::lock_guard<std::mutex> lock(mu);
        done = true;
        saved = text.compare(0, 6, "saved ") == 0;
        done_cv.notify_all();
    };
    hooks.progress = [](const std::string &, int) {};
    hooks.post = [](const std::string &line) {
        std::printf("OFFER bench: %s\n", line.c_str());
        std::fflush(stdout);
    };
    std::string address = mode == "serve" ? argv[3] : "127.0.0.1";
    hooks.local_address = [address] { return address; };
    file_sharing sharing(hooks);
    if (mode == "serve") {
        sharing.share(argv[2]);
        std::string ignored;
        while (std::getline(std::cin, ignored)) {
        }
        return 0;
    }
    if (sharing.heard(argv[2]) == 0) {
        std::fprintf(stderr, "files_bench: no offer in the line\n");
        return 2;
    }
    sharing.get("1");
    std::unique_lock<std::mutex> lock(mu);
    done_cv.wait(lock, [&] { return done; });
    // Ended at once: the sharing's threads are never joined.
    std::fflush(stderr);
    std::_Exit(saved ? 0 : 1);
}

#include "app/headless.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <thread>

#include "panel/panel_model.h"

namespace lumora::app {

namespace {

// Waits for SIGINT/SIGTERM on its own thread and turns it into a quit request,
// so the stop runs on ordinary threads, not inside a signal handler.
void quit_on_signals(panel::PanelModel& panel) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  std::thread([set, &panel]() mutable {
    int signal_number = 0;
    sigwait(&set, &signal_number);
    panel.request_quit(0);
  }).detach();
}

}  // namespace

int run_program(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0) {
      std::puts("usage: lumora --headless");
      return 0;
    }
  }
  // Block the stop signals in every thread; one thread waits for them.
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);

  panel::PanelModel panel;
  quit_on_signals(panel);
  std::puts("Lumora started");
  std::fflush(stdout);
  int code = panel.wait_for_quit();
  std::puts("Lumora stopped");
  return code;
}

}  // namespace lumora::app

// The agent settings the parser's log reads, for the fuzz target alone
// (the agent's start-up, which defines them, is not linked here).
#include "agent/agent.h"

char g_log_file[80];
std::atomic<int> g_verbose;
int g_syslog;
int g_memcheck;

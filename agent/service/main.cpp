#include "agent/service/service.h"

int main(int argc, char** argv) { return AgentMain(argc, argv); }

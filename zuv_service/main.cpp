// main.cpp: entry point of zuv_service.
#include "service_control.h"

int main(int argc, char** argv) { return zuv::ServiceProcessMain(argc, argv); }

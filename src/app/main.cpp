#include "app/startup.h"

int main(int argc, char** argv) { return pulsemill::runPulsemill(argc, argv); }

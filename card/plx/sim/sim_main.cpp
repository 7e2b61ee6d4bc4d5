// veltcfg-sim: the program on the simulated host that VELTCFG_SIM_HOST
// describes, or on the default one. The description is read first, so that
// one that cannot be read ends the run before anything else is printed.
#include "app/driver.h"
#include "card/plx/sim/host_description.h"

int main(int argc, char** argv)
{
    sim::describe_host_from_environment();
    return run_upload_tool(argc, argv);
}

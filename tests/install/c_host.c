/* A small host written as an integrator writes one, against the bundle's header
 * and library only: start-up, three arm readings, shut-down. It prints each result
 * and exits with 0 when every call succeeded. */
#include <kestar.h>
#include <stdio.h>

static int KESTAR_CALL Callback(InterfaceBlock* block, PointList* points) {
    (void)block;
    (void)points;
    return 1;
}

int main(void) {
    static InterfaceBlock block;
    static MachineBlock machine;
    static ProbeBlock probe;
    int* roles[] = {&block.controllerPort, &block.probePort, &block.droPort, &block.handboxPort,
                    &block.hostPort, &block.toolchangerPort, &block.sensorPort};
    int ok, result, i;
    block.machine = &machine;
    block.probe = &probe;
    for (i = 0; i < 7; ++i) *roles[i] = -1;

    ok = InitializeCommunications(&block, 0, Callback);
    printf("InitializeCommunications %d errorCode %d machine '%s'\n", ok, block.errorCode, machine.machineName);
    for (i = 0; i < 3; ++i) {
        block.command = C_READ_COORDS;
        result = GetCommData(&block);
        printf("GetCommData C_READ_COORDS %d position %.3f %.3f %.3f\n", result, block.position.x,
               block.position.y, block.position.z);
        ok = ok && result;
    }
    result = TerminateCommunications();
    printf("TerminateCommunications %d\n", result);
    return ok && result ? 0 : 1;
}

// kvZNPrint: the print server monitor service.
#include "programs/component_table.h"
#include "service/service_entry.h"

int main(int argc, char** argv) {
    return kvzn::service::ServiceProgramMain(argc, argv, kvzn::programs::MakeComponentTable());
}

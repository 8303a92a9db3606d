#include "repository/Repository.h"
#include "updater/Main.h"

int main(int argc, char** argv)
{
    // The process ends right after the run: its package list is not freed record by record.
    Repository::leavePackageListsToExit();
    return updaterMain(argc, argv);
}

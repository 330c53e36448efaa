// quillon-manager: the smart-card manager window.
#include "manager/ManagerMain.h"

int main(int argc, char** argv) { return quillon::manager::managerMain(argc, argv); }

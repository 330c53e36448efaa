// quillon-wizard: the desktop dialog that creates and clears cards.
#include "wizard/WizardMain.h"

int main(int argc, char** argv) { return quillon::wizard::wizardMain(argc, argv); }

/* A library that offers none of the entry points looked for. */
int vdUnrelatedEntryPoint(void) { return 7; }

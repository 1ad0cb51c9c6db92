// The floor for a whole run of machine_info: a static program that only
// starts and exits, linked the way machine_info is.
int main() { return 0; }

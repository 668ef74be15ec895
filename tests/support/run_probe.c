/* Started by scripts/test to learn whether this machine runs programs of the tree's
   architecture: exits with the width of a pointer in bits. */
int main(void) { return (int)sizeof(void*) * 8; }

/* Does nothing and exits 0: wine-run --can-run starts it to learn whether
 * this machine runs the build's Windows code at all. */
int main(void)
{
    return 0;
}

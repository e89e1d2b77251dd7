// The floor of the benchmark: a program that only starts and ends, built and
// linked exactly as the shipped programs are.
int main()
{
	return 0;
}

// SPDX-License-Identifier: MIT
// A program that only starts and ends, built and linked exactly as the
// shipped programs are: the C library's own share of a call.
int main()
{
	return 0;
}

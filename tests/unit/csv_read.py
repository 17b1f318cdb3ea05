#!/usr/bin/python3
"""Reads a CSV file as a spreadsheet would, with Python's csv module, and prints each record
as one line of its cells in hexadecimal (UTF-8 bytes), cells separated by one blank, so that
the caller can compare every byte of every cell."""
import csv
import sys

with open(sys.argv[1], newline="", encoding="utf-8") as f:
    for record in csv.reader(f, strict=True):
        print(" ".join(cell.encode("utf-8").hex() for cell in record))

"""The families of rows: each module registers one when imported (see bench/family.py)."""

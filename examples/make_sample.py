"""Regenerates examples/payroll.xlsx, the sample workbook of the README.

Needs openpyxl (pip install openpyxl). The workbook is fictitious data.
"""

import datetime
import random
import sys
from pathlib import Path

from openpyxl import Workbook
from openpyxl.styles import Font


def main(out: Path) -> None:
    rng = random.Random(20261208)
    wb = Workbook()
    ws = wb.active
    ws.title = "Payroll"
    ws.append(["Employee", "Department", "Month", "Gross", "Tax", "Net"])
    for cell in ws[1]:
        cell.font = Font(bold=True)
    names = ["Ada", "Grace", "Alan", "Edsger", "Barbara", "Donald", "Frances", "Ken"]
    departments = ["Finance", "Engineering", "Sales", "Support"]
    for month in range(1, 13):
        for name in names:
            gross = round(rng.uniform(3000, 9000), 2)
            tax = round(gross * 0.27, 2)
            ws.append([name, rng.choice(departments),
                       datetime.date(2026, month, 1), gross, tax, round(gross - tax, 2)])
    summary = wb.create_sheet("Summary")
    summary.append(["Total gross", "=SUM(Payroll!D2:D97)"])
    summary.append(["Total net", "=SUM(Payroll!F2:F97)"])
    wb.properties.creator = "cellvault example"
    wb.properties.created = datetime.datetime(2026, 12, 8)
    wb.properties.modified = datetime.datetime(2026, 12, 8)
    wb.save(out)


if __name__ == "__main__":
    main(Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).with_name("payroll.xlsx"))

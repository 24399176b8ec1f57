' A Cyrillic receipt as a Bulgarian till rings it up, run under a Bulgarian locale (system code
' page Windows-1251, decimal comma). This file is saved in Windows-1251, as scripts on such a
' till are: the script host reads it in the system code page. Under this locale VBScript writes
' Booleans as Bulgarian words, so every check compares values, and the script prints numbers.
Option Explicit
On Error Resume Next

Dim failures, nev, total, a, b, c
failures = 0

Sub Check(ok, what)
  If Err.Number <> 0 Or Not ok Then
    WScript.Echo "FAIL " & what & " " & Err.Number
    failures = failures + 1
    Err.Clear
  End If
End Sub

' The locale the script runs under: the system code page's byte for "Х" (213 in Windows-1251),
' and one and a half as text (with the decimal comma).
WScript.Echo "LOCALE " & Asc("Х") & " " & CStr(1.5)
Err.Clear

Set nev = CreateObject("NEVComServer.NEV")
Check IsObject(nev), "CreateObject"
Check nev.InitConnection(1, 9600, 1, 0, 8) = True, "InitConnection"
Check nev.OpenFiscNote("1", "0000") = True, "OpenFiscNote"
Check nev.FiscText("Добре дошли, уважаеми клиенти!") = True, "FiscText"
Check nev.SellTaxGroup("Хляб Добруджа", "Б", 2, 1.25) = True, "SellTaxGroup bread"
Check nev.SellTaxGroup("Сирене „Витоша“ №1", "б", 0.5, 7.9) = True, "SellTaxGroup cheese"
Check nev.SubTotal(total, a, b, c) = True, "SubTotal"
Check Abs(total - 6.45) < 0.001 And a = 0 And Abs(b - 6.45) < 0.001 And c = 0, "totals"
WScript.Echo "TOTAL " & CLng(total * 100) & " " & CLng(b * 100)
Check nev.Pay(1, total) = True, "Pay"
Check nev.CloseFiscNote() = True, "CloseFiscNote"
Check nev.StopConnection() = True, "StopConnection"

If failures = 0 Then WScript.Echo "VERDICT: PASS" Else WScript.Echo "VERDICT: FAIL (" & failures & ")"

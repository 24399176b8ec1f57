' A receipt the way a point-of-sale script rings it up, through late binding by name, with the
' totals of SubTotal in plain Variant variables. The script host reports no script error by its
' exit code, so every step is checked here and the last line gives the verdict.
Option Explicit
On Error Resume Next

Dim failures, nev, total, a, b, c
failures = 0

Sub Check(ok, what)
  If Err.Number <> 0 Or Not ok Then
    WScript.Echo "FAIL " & what & " " & Err.Number & " " & Err.Description
    failures = failures + 1
    Err.Clear
  End If
End Sub

Set nev = CreateObject("NEVComServer.NEV")
Check IsObject(nev), "CreateObject(""NEVComServer.NEV"")"
Check nev.SilentMode = False, "SilentMode starts False"
Check nev.InitConnection(1, 9600, 1, 0, 8), "InitConnection on COM1"
Check nev.OpenFiscNote("2", "1111"), "OpenFiscNote without BS"
Check nev.FiscText("Welcome, dear customer!"), "FiscText"
Check nev.SellArt(1, 2, 0), "SellArt article 1 at its programmed price"
Check nev.SellTaxGroup("Water 0.5 l", "A", 1, 0.9), "SellTaxGroup"
Check nev.SubTotal(total, a, b, c), "SubTotal with Variant variables"
Check TypeName(total) = "Double" And Abs(total - 3.3) < 0.001, "Total is the Double 3.30: " & total
Check Abs(a - 0.9) < 0.001 And Abs(b - 2.4) < 0.001 And c = 0, _
      "groups A, B, C are 0.90, 2.40, 0: " & a & ", " & b & ", " & c
Check nev.Pay(1, total), "Pay the total in cash"
Check nev.CloseFiscNote(), "CloseFiscNote"
nev.StopConnection
Check True, "StopConnection"

If failures = 0 Then WScript.Echo "VERDICT: PASS" Else WScript.Echo "VERDICT: FAIL (" & failures & ")"

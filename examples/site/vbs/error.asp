<%@ Language="VBScript" %><%
' The error chart: what a page shows when its data could not be had. ShowError
' takes its text by reference, as the component declares it.
Dim chart, message
Set chart = Server.CreateObject("Quenza.QuenzaChart")
chart.Height = 3
chart.Width = 4
message = "The sales figures are not available"
chart.ShowError message
chart.SendChart
%>

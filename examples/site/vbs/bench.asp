<%@ Language="VBScript" %><%
' The benchmark chart: 2-D clustered bars, 6 months by 3 regions, 576 x 384
' pixels (6 x 4 inches), legend on the right, JPEG.
Dim chart, months, regions, r, c
Set chart = Server.CreateObject("Quenza.QuenzaChart")
chart.Width = 6
chart.Height = 4
chart.ChartType = 1
chart.ChartTitle = "Quarterly sales"
chart.XTitle = "Month"
chart.YTitle = "Units"
chart.Legends = 1
months = Array("Jan", "Feb", "Mar", "Apr", "May", "Jun")
regions = Array("North", "South", "West")
chart.Rows 6
chart.Columns 3
For r = 1 To 6
  chart.CurrentRow r
  chart.RowTitle months(r - 1)
  For c = 1 To 3
    chart.CurrentColumn c
    If r = 1 Then chart.ColumnTitle regions(c - 1)
    chart.SetData 10 + (((r - 1) * 7 + (c - 1) * 13) Mod 23)
  Next
Next
chart.LegendPosition 4
chart.SendChart
%>

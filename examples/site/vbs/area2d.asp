<%@ Language="VBScript" %><%
' The 2-D area chart: six months of sales in three regions.
Dim chart, months, regions, r, c
Set chart = Server.CreateObject("Quenza.QuenzaChart")
chart.Height = 3
chart.Width = 4
chart.ChartType = 3
chart.ChartTitle = "2-D area"
chart.Legends = 1
chart.XTitle = "Month"
chart.YTitle = "Units"
months = Array("Jan", "Feb", "Mar", "Apr", "May", "Jun")
regions = Array("North", "South", "West")
chart.Rows UBound(months) + 1
chart.Columns UBound(regions) + 1
For r = 1 To UBound(months) + 1
  chart.CurrentRow r
  chart.RowTitle months(r - 1)
  For c = 1 To UBound(regions) + 1
    chart.CurrentColumn c
    If r = 1 Then chart.ColumnTitle regions(c - 1)
    chart.SetData 10 + ((r * 7 + c * 13) Mod 23)
  Next
Next
If Request.QueryString("img") = "bmp" Then chart.ImageType = "BMP"
chart.SendChart
%>

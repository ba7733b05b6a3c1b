<%@ Language="VBScript" %><%
' A chart with the site's logo (64 x 32 pixels) stamped in its bottom-right
' corner; see the JavaScript page beside it for how the stamp is placed.
Dim chart, r
Set chart = Server.CreateObject("Quenza.QuenzaChart")
chart.Height = 3
chart.Width = 4
chart.ChartType = 1
chart.ChartTitle = "Stamped"
chart.Rows 4
chart.Columns 1
For r = 1 To 4
  chart.CurrentRow r
  chart.SetData r * r
Next
' 4 x 3 inches is 384 x 288 pixels; keep the logo 6 pixels from the edges.
chart.PastePicture 384 - 64 - 6, 288 - 32 - 6, Server.MapPath("../logo.bmp")
chart.SendChart
%>

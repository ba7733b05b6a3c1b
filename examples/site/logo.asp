<%@ Language="JScript" %><%
// A chart with the site's logo stamped in its top-left corner.
var chart = Server.CreateObject("Quenza.QuenzaChart");
chart.Height = 3;
chart.Width = 4;
chart.ChartType = 1;
chart.ChartTitle = "Stamped";
chart.Rows(4);
chart.Columns(1);
for (var r = 1; r <= 4; r++) {
  chart.CurrentRow(r);
  chart.SetData(r * r);
}
chart.PastePicture(8, 8, Server.MapPath("logo.bmp"));
chart.SendChart();
%>
